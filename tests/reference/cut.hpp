// The tokenizer the request's parameter lists are defined by: the text up to
// the first occurrence of a delimiter, ended there in place, the cursor moved
// past it. The parsers work on views instead; this is the model their tests
// and fuzz targets compare them with.
#pragma once
#include <string_view>

namespace zelweb_test {

// Returns the text before the first occurrence of `delim`, ends it there with
// a zero byte and moves *cursor past the occurrence. Without a match (or with
// an empty delimiter) returns the rest and sets *cursor to null; a null
// cursor yields null.
inline char* cut(char** cursor, std::string_view delim) {
    char* text = *cursor;
    if (!text) return nullptr;
    std::string_view rest(text);
    size_t at = delim.empty()        ? rest.npos
                : delim.size() == 1 ? rest.find(delim[0])
                                    : rest.find(delim);
    if (at == rest.npos) {
        *cursor = nullptr;
        return text;
    }
    text[at] = '\0';
    *cursor = text + at + delim.size();
    return text;
}

}  // namespace zelweb_test
