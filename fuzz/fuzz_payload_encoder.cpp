// Feeds a report made from arbitrary bytes to both payload encoders: the type, the
// format and the texts come from the input, split at zero bytes, and so do the first
// integers and reals. Whatever goes in, the payload must be one well-formed element
// (read with namespaces for the Jabber variant, as a server reads it) ending in a
// line feed, and byte for byte the plain encoding of tests/ipm/ipm_ReferencePayload.h,
// with the same phase left behind; anything else aborts.
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_PayloadEncoder.h"
#include "tests/ipm/ipm_ReferencePayload.h"

#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::size_t maxTexts = 16;

struct Depth {
    int current = 0;
    int topLevel = 0;
};

// One top-level element and nothing else but its line feed.
bool isOneElement(const std::string& payload, bool namespaces) {
    if (payload.empty() || payload.back() != '\n')
        return false;
    Depth depth;
    XML_Parser parser = namespaces ? XML_ParserCreateNS("UTF-8", '|') : XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &depth);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char*, const XML_Char**) {
            Depth& d = *static_cast<Depth*>(data);
            if (d.current++ == 0)
                ++d.topLevel;
        },
        [](void* data, const XML_Char*) { --static_cast<Depth*>(data)->current; });
    const bool parsed = XML_Parse(parser, payload.data(), int(payload.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return parsed && depth.topLevel == 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        const char* arguments[] = {"fuzz_payload_encoder"};
        thr_GlobalSingleton<utl_CommandLine>::Instance().Set(1, arguments);
        return true;
    }();
    (void)ready;
    if (size < 1)
        return 0;
    const bool started = (data[0] & 1) != 0;

    // Zero-terminated pieces: type, format, job name, then the texts.
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start <= input.size() && pieces.size() < maxTexts + 3;) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        pieces.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    pieces.resize(maxTexts + 3);

    // Values for every field the format can name, so that no read runs past an array;
    // the first ones come from the input's bytes, NaN and infinities included.
    const std::size_t fields = pieces[1].size() + 1;
    std::vector<int> integers(fields);
    std::vector<double> reals(fields);
    std::memcpy(integers.data(), data, std::min(size, fields * sizeof(int)));
    std::memcpy(reals.data(), data, std::min(size, fields * sizeof(double)));
    std::vector<const char*> texts(fields, "");
    for (std::size_t k = 3; k < pieces.size() && k - 3 < fields; ++k)
        texts[k - 3] = pieces[k].c_str();

    for (const ipm_PayloadEncoder* variant :
         {&ipm_PayloadEncoder::Direct(), &ipm_PayloadEncoder::Jabber()}) {
        ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
        const bool jabber = variant == &ipm_PayloadEncoder::Jabber();
        const cow_String phaseBefore = transmitter.GetPhase();
        const std::string expected = ipm_reference::Encode(
            *variant, jabber, transmitter, pieces[2].c_str(), pieces[0].c_str(), pieces[1].c_str(),
            integers.data(), reals.data(), texts.data(), started);
        const cow_String expectedPhase = transmitter.GetPhase();
        transmitter.SetPhase(phaseBefore);
        const cow_String encoded =
            variant->Encode(transmitter, pieces[2].c_str(), pieces[0].c_str(), pieces[1].c_str(),
                            integers.data(), reals.data(), texts.data(), started);
        const std::string payload(encoded.c_str(), std::size_t(encoded.length()));
        if (payload != expected || transmitter.GetPhase() != expectedPhase ||
            !isOneElement(payload, jabber))
            std::abort();
    }
    return 0;
}
