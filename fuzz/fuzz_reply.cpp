// Any reply bytes through the reply reader (status lines and interim replies included),
// delivered in pieces of fuzzer-chosen sizes. The answer must not depend on how the bytes were
// cut, and the kept body stays bounded.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "khttpclient.h"

namespace {

using Reader = KHTTPClient::ReplyReader;

// Feeds the reply in pieces whose sizes come from the seed; closes the connection at the end.
std::string readInPieces(const uint8_t* data, size_t size, unsigned int seed, Reader& reader) {
    for (size_t at = 0; at < size && reader.status() == Reader::Status::NeedMore;) {
        seed = seed * 1103515245u + 12345u;
        const size_t length = std::min<size_t>(1 + (seed >> 16) % 64, size - at);
        reader.feed(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
    if (reader.status() == Reader::Status::NeedMore) reader.finish();
    return reader.result();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned int seed = data[0];
    ++data;
    --size;

    Reader whole;
    whole.feed(reinterpret_cast<const char*>(data), size);
    if (whole.status() == Reader::Status::NeedMore) whole.finish();

    Reader pieces;
    const std::string result = readInPieces(data, size, seed, pieces);
    if (result != whole.result() || pieces.status() != whole.status()) std::abort();
    if (result.size() > KHTTPClient::MAX_BODY_BYTES) std::abort();
    if (!pieces.headerComplete() && !result.empty()) std::abort();
    return 0;
}
