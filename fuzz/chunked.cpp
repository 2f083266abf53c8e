// The chunked body decoder, fed in receives and output buffers of sizes the
// input chooses and sometimes in place, against the whole-buffer model. The
// text is itself laid out as a split input: its pieces are the output
// capacities. Flags: bit 0 in place; bit 1 capacities one less (so 0 comes
// up); bit 2 every byte 0x01 of the body stands for 256 bytes 'x', so that
// the line and trailer limits are within reach.
#include <string>

#include "chunked_model.hpp"
#include "fuzz_input.hpp"

using namespace zelweb_test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SplitInput in = split_input(data, size);
    SplitInput inner = split_input(reinterpret_cast<const uint8_t*>(in.text.data()), in.text.size());
    std::vector<size_t> capacities = inner.pieces;
    if (in.flags & 2)
        for (size_t& c : capacities) --c;
    std::string body;
    if (in.flags & 4) {
        for (char c : inner.text) {
            if (c == '\x01')
                body.append(256, 'x');
            else
                body += c;
        }
    } else {
        body = std::string(inner.text);
    }

    ChunkedOutcome want = chunked_model(body);
    Driven whole = drive_decoder(body, {}, {}, false);
    Driven pieces = drive_decoder(body, in.pieces, capacities, in.flags & 1);
    FUZZ_CHECK(whole.sound && whole.outcome == want);
    FUZZ_CHECK(pieces.sound && pieces.outcome == want);
    return 0;
}
