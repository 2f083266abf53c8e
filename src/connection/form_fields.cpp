// Multipart text fields into the post text, percent-encoded.
#include "connection/form_fields.hpp"

#include "py/report.hpp"
#include "py/settings.hpp"

namespace zelweb {

namespace {

bool is_unreserved(unsigned char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           ch == '-' || ch == '_' || ch == '.' || ch == '~';
}

}  // namespace

void attach_body(Connection& c, HttpObject* http) {
    c.body.data()[0] = '\0';
    http->post = c.body.data();
    http->post_size = 0;
}

bool FormFields::begin(std::string_view name) {
    pair_start_ = http_->post_size;
    dropped_ = false;
    if (!ensure_buffer()) return false;
    if (pair_start_ > 0) write("&", false);
    write(name, true);
    write("=", false);
    return true;
}

bool FormFields::ensure_buffer() {
    if (c_.body) return true;
    if (!c_.body.resize(size_t(max_post) + 1)) return false;
    attach_body(c_, http_);
    return true;
}

void FormFields::write(std::string_view s, bool encode) {
    if (dropped_) return;
    size_t need = s.size();
    if (encode)
        for (unsigned char ch : s) need += is_unreserved(ch) ? 0 : 2;
    if (http_->post_size + need > max_post) {
        dropped_ = true;
        http_->post_size = pair_start_;
        http_->post[pair_start_] = '\0';
        if (!reported_) print_message("MAX POST REACHED: %u\n", static_cast<unsigned>(max_post));
        reported_ = true;
        return;
    }
    static const char hex[] = "0123456789ABCDEF";
    char* w = http_->post + http_->post_size;
    for (unsigned char ch : s) {
        if (!encode || is_unreserved(ch)) {
            *w++ = static_cast<char>(ch);
        } else {
            *w++ = '%';
            *w++ = hex[ch >> 4];
            *w++ = hex[ch & 15];
        }
    }
    *w = '\0';
    http_->post_size = static_cast<size_t>(w - http_->post);
}

}  // namespace zelweb
