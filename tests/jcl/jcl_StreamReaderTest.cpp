#include "jcl/jcl_StreamReader.h"

#include "NodeDump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

class RecordingSink : public jcl_StreamReader::Sink {
public:
    void HandleStanza(const jcl_Node& stanza) override {
        if (raiseOnce) {
            raiseOnce = false;
            throw std::runtime_error("handler failed");
        }
        stanzas.push_back(NodeDump(stanza));
    }
    std::vector<std::string> stanzas;
    bool raiseOnce = false;
};

const std::string header =
    "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
    "xmlns='jabber:client' from='localhost' id='s1' version='1.0'>";

struct Stanza {
    std::string xml;
    std::string dump;
};

// A server's stream: features, stanzas back to back and with whitespace between them,
// nested children, references, a stream error, then the footer.
const std::vector<Stanza> stanzas = {
    {"<stream:features><register xmlns='http://jabber.org/features/iq-register'/>"
     "</stream:features>",
     "stream:features[]{}(register[xmlns=http://jabber.org/features/iq-register;]{}())"},
    {"<presence from='mon@localhost/console'/>", "presence[from=mon@localhost/console;]{}()"},
    {"<message from='mon@localhost/console' type='chat'><x xmlns='zorvik:msg'>Kill</x></message>",
     "message[from=mon@localhost/console;type=chat;]{}(x[xmlns=zorvik:msg;]{Kill}())"},
    {"\n <iq type='result' id='a&amp;1'><query><n>&lt;&#233;&gt;</n></query></iq>",
     "iq[id=a&1;type=result;]{}(query[]{}(n[]{<\xC3\xA9>}()))"},
    {"<message><body>t<b>u</b>v</body></message>", "message[]{}(body[]{tv}(b[]{u}()))"},
    {"<stream:error><conflict xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>",
     "stream:error[]{}(conflict[xmlns=urn:ietf:params:xml:ns:xmpp-streams;]{}())"},
};

TEST(jcl_StreamReader, HandsOverEveryStanzaWithItsLastByteAtEveryPieceSize) {
    std::string input = header;
    std::vector<std::size_t> ends;
    for (const Stanza& s : stanzas) {
        input += s.xml;
        ends.push_back(input.size());
    }
    input += "</stream:stream>";
    for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(4),
                              std::size_t(5), input.size()}) {
        RecordingSink sink;
        jcl_StreamReader reader(sink, 2);
        for (std::size_t fed = 0; fed < input.size();) {
            const std::size_t length = std::min(piece, input.size() - fed);
            reader.Feed(input.data() + fed, int(length));
            fed += length;
            std::size_t due = 0;
            while (due < ends.size() && ends[due] <= fed)
                ++due;
            ASSERT_EQ(sink.stanzas.size(), due) << "piece " << piece << " fed " << fed;
            ASSERT_EQ(reader.HasEnded(), fed == input.size()) << "piece " << piece;
        }
        for (std::size_t k = 0; k < stanzas.size(); ++k)
            EXPECT_EQ(sink.stanzas[k], stanzas[k].dump) << "piece " << piece;
        EXPECT_FALSE(reader.HasFailed()) << "piece " << piece;
    }
}

TEST(jcl_StreamReader, TwoStanzasInOneFeedThenOneOverThree) {
    RecordingSink sink;
    jcl_StreamReader reader(sink, 2);
    const std::string two = header + "<presence/><message id='k'><x>Kill</x></message>";
    reader.Feed(two.data(), int(two.size()));
    EXPECT_EQ(sink.stanzas,
              (std::vector<std::string>{"presence[]{}()", "message[id=k;]{}(x[]{Kill}())"}));
    for (const char* piece : {"<message><bo", "dy>sp", "lit</body></message>"})
        reader.Feed(piece, int(std::strlen(piece)));
    ASSERT_EQ(sink.stanzas.size(), 3u);
    EXPECT_EQ(sink.stanzas[2], "message[]{}(body[]{split}())");
}

struct LimitCase {
    const char* name;
    std::string input;
    bool fails;
};

std::string Repeat(const std::string& piece, std::size_t bytes) {
    std::string out;
    while (out.size() < bytes)
        out += piece;
    return out;
}

TEST(jcl_StreamReader, APeerCannotMakeItHoldMoreThanAStanzasWorth) {
    const std::size_t limit = jcl_StreamReader::maxStanzaBytes;
    const std::vector<LimitCase> cases = {
        {"a text beyond the limit", "<message><body>" + std::string(limit + 1, 'x'), true},
        {"an attribute beyond the limit", "<message a='" + std::string(limit + 1, 'x'), true},
        {"a start tag that never ends", "<message " + std::string(limit + 10, ' '), true},
        {"references that add up beyond the limit", "<m>" + Repeat("&lt;&amp;&gt;", 5 * limit),
         true},
        {"many empty elements in one stanza", "<message>" + Repeat("<a/>", limit / 8), true},
        {"many stanzas together beyond the limit",
         Repeat("<message><body>x</body></message>", 2 * limit), false},
        {"whitespace between stanzas beyond the limit",
         "<presence/>" + std::string(2 * limit, ' ') + "<presence/>", false},
        {"a stanza just within the limit",
         "<message><body>" + std::string(limit - 1000, 'x') + "</body></message>", false},
    };
    for (const LimitCase& c : cases) {
        RecordingSink sink;
        jcl_StreamReader reader(sink, 2);
        reader.Feed(header.data(), int(header.size()));
        for (std::size_t fed = 0; fed < c.input.size(); fed += 2000)
            reader.Feed(c.input.data() + fed,
                        int(std::min<std::size_t>(2000, c.input.size() - fed)));
        EXPECT_EQ(reader.HasFailed(), c.fails) << c.name;
        if (c.fails)
            EXPECT_TRUE(sink.stanzas.empty()) << c.name;
        else
            EXPECT_FALSE(sink.stanzas.empty()) << c.name;
    }
}

TEST(jcl_StreamReader, AStanzaWhoseHandlerRaisedIsNotHandedOverAgainAndTheNextOnesFollow) {
    RecordingSink sink;
    sink.raiseOnce = true;
    jcl_StreamReader reader(sink, 2);
    const std::string input = header + "<a/><b/><c/>";
    EXPECT_THROW(reader.Feed(input.data(), int(input.size())), std::runtime_error);
    EXPECT_TRUE(sink.stanzas.empty());
    reader.DeliverQueued();
    EXPECT_EQ(sink.stanzas, (std::vector<std::string>{"b[]{}()", "c[]{}()"}));
    reader.DeliverQueued();
    EXPECT_EQ(sink.stanzas.size(), 2u);
}

TEST(jcl_StreamReader, ResetReadsANewStreamAfterAFailedOrEndedOne) {
    const std::vector<std::string> before = {
        header + "<message><body>half", header + "<a x='1' x='2'/>", header + "</stream:stream>"};
    for (const std::string& old : before) {
        RecordingSink sink;
        jcl_StreamReader reader(sink, 2);
        reader.Feed(old.data(), int(old.size()));
        sink.raiseOnce = false;
        reader.Reset();
        EXPECT_FALSE(reader.HasFailed());
        EXPECT_FALSE(reader.HasEnded());
        const std::string fresh = header + "<presence/>";
        reader.Feed(fresh.data(), int(fresh.size()));
        EXPECT_EQ(sink.stanzas, std::vector<std::string>{"presence[]{}()"}) << old;
    }
}

// Stanzas with the same attributes share what the reader built for them; a handler that
// changes its stanza's attributes must not change those of the stanzas after it.
class ChangingSink : public jcl_StreamReader::Sink {
public:
    void HandleStanza(const jcl_Node& stanza) override {
        jcl_Node copy = stanza;
        copy.attributes.Set("type", "changed");
        copy.GetChild(0).attributes.Set("extra", "1");
        stanzas.push_back(NodeDump(stanza));
    }
    std::vector<std::string> stanzas;
};

TEST(jcl_StreamReader, AHandlerThatChangesItsStanzaLeavesTheNextStanzasAsSent) {
    ChangingSink sink;
    jcl_StreamReader reader(sink, 2);
    const std::string stanza = "<message type='chat'><x xmlns='zorvik:msg'>r</x></message>";
    const std::string input = header + stanza + stanza + stanza;
    reader.Feed(input.data(), static_cast<int>(input.size()));
    const std::string sent = "message[type=chat;]{}(x[xmlns=zorvik:msg;]{r}())";
    EXPECT_EQ(sink.stanzas, std::vector<std::string>(3, sent));
}

} // namespace
