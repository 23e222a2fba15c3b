#include "base/xmp_Expat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
struct Events {
    std::vector<std::string> log;
    int fed = 0;
};

void onStart(void* data, const XML_Char* name, const XML_Char**) {
    auto* events = static_cast<Events*>(data);
    events->log.push_back("start " + std::string(name) + " @" + std::to_string(events->fed));
}

void onEnd(void* data, const XML_Char* name) {
    auto* events = static_cast<Events*>(data);
    events->log.push_back("end " + std::string(name) + " @" + std::to_string(events->fed));
}
} // namespace

// Every element must be reported by the call that fed its last byte, however
// small the pieces: a live stream may pause right after a stanza.
TEST(ExpatStandIn, ReportsEachElementAsSoonAsItsLastByteArrives) {
    const std::string stream = "<stream><message to='a'><body>hi</body></message>";
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        Events events;
        XML_Parser parser = xmp_XML_ParserCreate(nullptr);
        ASSERT_NE(nullptr, parser);
        xmp_XML_SetUserData(parser, &events);
        xmp_XML_SetElementHandler(parser, onStart, onEnd);
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            std::size_t size = std::min(piece, stream.size() - at);
            events.fed = int(at + size);
            ASSERT_EQ(XML_STATUS_OK, xmp_XML_Parse(parser, stream.data() + at, int(size), 0));
        }
        xmp_XML_ParserFree(parser);
        ASSERT_EQ(5u, events.log.size()) << "piece " << piece;
        std::size_t messageEnd = stream.size();
        std::string expected = "end message @" + std::to_string(messageEnd);
        EXPECT_EQ(expected, events.log.back()) << "piece " << piece;
    }
}

TEST(ExpatStandIn, ReportsMalformedInput) {
    XML_Parser parser = xmp_XML_ParserCreate(nullptr);
    EXPECT_EQ(XML_STATUS_ERROR, xmp_XML_Parse(parser, "<a></b>", 7, 0));
    EXPECT_NE(XML_ERROR_NONE, xmp_XML_GetErrorCode(parser));
    EXPECT_NE(nullptr, xmp_XML_ErrorString(xmp_XML_GetErrorCode(parser)));
    xmp_XML_ParserFree(parser);
}
