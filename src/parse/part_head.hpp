// What the head of one multipart part says.
#pragma once
#include <optional>
#include <string_view>

namespace zelweb {

// By the rules of the upload: the file name runs from `filename="` to its
// closing quote (or the end of its line), and a "Content-Type: " line is
// looked for only after the file name. `name` is the form field's name.
struct PartHead {
    std::optional<std::string_view> filename, content_type, name;
};
PartHead parse_part_head(std::string_view head);

}  // namespace zelweb
