// The part-head rules.
#include "parse/part_head.hpp"

namespace zelweb {

PartHead parse_part_head(std::string_view head) {
    PartHead out;
    constexpr std::string_view file_key = "filename=\"";
    size_t at = head.find(file_key);
    if (at != head.npos) {
        size_t from = at + file_key.size();
        size_t quote = head.find('"', from);
        size_t eol = head.find("\r\n", from);
        if (quote == head.npos || quote > eol) {
            // No closing quote on its line: the name ends with the line.
            out.filename = head.substr(from, eol == head.npos ? head.npos : eol - from);
        } else {
            out.filename = head.substr(from, quote - from);
            constexpr std::string_view type_key = "Content-Type: ";
            size_t t = head.find(type_key, quote);
            if (t != head.npos) {
                size_t v = t + type_key.size();
                size_t eol = head.find("\r\n", v);
                out.content_type = head.substr(v, eol == head.npos ? head.npos : eol - v);
            }
        }
    }
    constexpr std::string_view name_key = "name=\"";
    for (size_t n = head.find(name_key); n != head.npos; n = head.find(name_key, n + 1)) {
        if (n == 0 || head[n - 1] == ' ' || head[n - 1] == ';') {
            size_t from = n + name_key.size();
            size_t quote = head.find('"', from);
            if (quote != head.npos) out.name = head.substr(from, quote - from);
            break;
        }
    }
    return out;
}

}  // namespace zelweb
