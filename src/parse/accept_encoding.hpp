// Accept-Encoding, for the codings a static folder may hold beside a file
// (NAME.gz, NAME.br).
#pragma once
#include <string_view>

namespace zelweb {

// The weights a request gives gzip, br and identity, in thousandths (1000 is
// q=1, 0 is "not acceptable"). Read every Accept-Encoding line of a request
// in order, as one list: a coding's first mention counts, "*" stands for the
// codings not mentioned, names compare in any case, "x-gzip" is gzip, and a
// member with a malformed weight is skipped. A request that sends no
// Accept-Encoding accepts neither gzip nor br: a client that did not ask
// gets the file as it is. Identity stays acceptable unless "identity;q=0",
// or "*;q=0" without identity, refuses it.
class AcceptedCodings {
public:
    void read(std::string_view value);

    int gzip() const { return weight(gzip_, 0); }
    int br() const { return weight(br_, 0); }
    int identity() const { return weight(identity_, 1000); }

private:
    int weight(int named, int otherwise) const {
        return named >= 0 ? named : any_ >= 0 ? any_ : otherwise;
    }
    int gzip_ = -1, br_ = -1, identity_ = -1, any_ = -1;  // -1: not mentioned
};

}  // namespace zelweb
