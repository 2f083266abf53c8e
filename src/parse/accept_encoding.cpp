// Accept-Encoding.
#include "parse/accept_encoding.hpp"

#include "parse/head.hpp"

namespace zelweb {

namespace {

// qvalue = ( "0" [ "." 0*3DIGIT ] ) / ( "1" [ "." 0*3("0") ] ), in
// thousandths; -1 when malformed.
int read_qvalue(std::string_view q) {
    if (q.empty() || (q[0] != '0' && q[0] != '1')) return -1;
    int whole = q[0] - '0';
    if (q.size() == 1) return whole * 1000;
    if (q[1] != '.' || q.size() > 5) return -1;
    int thousandths = 0, scale = 100;
    for (size_t i = 2; i < q.size(); ++i, scale /= 10) {
        if (q[i] < '0' || q[i] > '9') return -1;
        thousandths += (q[i] - '0') * scale;
    }
    if (whole == 1 && thousandths != 0) return -1;
    return whole * 1000 + thousandths;
}

// The weight of one member "coding[;q=value]": 1000 without a weight, -1 when
// its parameters are malformed.
int member_weight(std::string_view parameters) {
    int weight = 1000;
    while (!parameters.empty()) {
        // parameters starts at a ";"
        size_t next = parameters.find(';', 1);
        std::string_view p =
            trim_blanks(parameters.substr(1, next == parameters.npos ? next : next - 1));
        size_t eq = p.find('=');
        if (eq == p.npos) return -1;
        if (header_name_is(trim_blanks(p.substr(0, eq)), "q")) {
            weight = read_qvalue(trim_blanks(p.substr(eq + 1)));
            if (weight < 0) return -1;
        }
        parameters = next == parameters.npos ? std::string_view() : parameters.substr(next);
    }
    return weight;
}

}  // namespace

void AcceptedCodings::read(std::string_view value) {
    size_t start = 0;
    for (;;) {
        size_t end = value.find(',', start);
        std::string_view member =
            trim_blanks(value.substr(start, end == value.npos ? value.npos : end - start));
        size_t semicolon = member.find(';');
        std::string_view coding = trim_blanks(member.substr(0, semicolon));
        int weight = member_weight(semicolon == member.npos ? std::string_view()
                                                            : member.substr(semicolon));
        if (!coding.empty() && weight >= 0) {
            int* slot = header_name_is(coding, "gzip") || header_name_is(coding, "x-gzip") ? &gzip_
                        : header_name_is(coding, "br")                                     ? &br_
                        : header_name_is(coding, "identity") ? &identity_
                        : coding == "*"                      ? &any_
                                                             : nullptr;
            if (slot && *slot < 0) *slot = weight;
        }
        if (end == value.npos) return;
        start = end + 1;
    }
}

}  // namespace zelweb
