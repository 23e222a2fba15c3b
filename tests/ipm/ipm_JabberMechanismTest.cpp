#include "ipm_TestSupport.h"

#include "base/eli_KillSignal.h"
#include "base/utl_HostName.h"
#include "ipm/ipm_JabberMechanism.h"
#include "jcl/jcl_Connection.h"
#include "jcl/jcl_DocumentParser.h"
#include "jcl/jcl_Message.h"

#include <gtest/gtest.h>

#include <string>

using namespace ipm_test;

// Tests that need no server; those against a real one are in the end-to-end program.
namespace {

struct KillCase {
    const char* received;
    bool kills;
};

TEST(JabberMechanism, KillHandlerLooksOnlyAtTheXContent) {
    const KillCase cases[] = {
        {"<message type='chat'><x xmlns='zorvik:msg'>Kill</x></message>", true},
        {"<message><x xmlns='zorvik:msg'>please Kill the job</x></message>", true},
        {"<message><x xmlns='zorvik:msg'><cmd>Kill</cmd></x></message>", true},
        {"<message><body>Kill</body></message>", false},
        {"<message><subject>Kill</subject><x xmlns='zorvik:msg'>go</x></message>", false},
        {"<message><x xmlns='zorvik:msg'>kill</x></message>", false},
        {"<message from='Kill@localhost/Kill' type='Kill'/>", false},
    };
    jcl_Connection connection;
    for (const KillCase& c : cases) {
        eli_resetkillsig();
        jcl_Message message(jcl_DocumentParser::Parse(c.received, int(std::strlen(c.received))));
        ipm_JabberMechanism::HandleKill(connection, message);
        EXPECT_EQ(eli_getkillsig(), c.kills) << c.received;
    }
    eli_resetkillsig();
}

TEST(JabberMechanism, UnconnectedPollFindsNothingAndDestructionIsQuiet) {
    eli_resetkillsig();
    {
        ipm_JabberMechanism mechanism;
        for (int i = 0; i < 3; ++i)
            EXPECT_NO_THROW(mechanism.Poll());
        EXPECT_FALSE(eli_getkillsig());
    }
    ipm_JabberMechanism closed;
    EXPECT_NO_THROW(closed.Close());
}

TEST(JabberMechanism, TransmitWithoutAConnectionRaisesInsteadOfLosingTheReport) {
    ipm_JabberMechanism mechanism;
    EXPECT_ANY_THROW(mechanism.Transmit("<R></R>\n"));
}

TEST(JabberMechanism, CredentialIsTheHostNameAndTheSameSixCharactersEveryTime) {
    const std::string host = utl_getHostName().c_str();
    const std::string credential = ipm_JabberMechanism::Credential().c_str();
    ASSERT_EQ(credential.size(), host.size() + 6);
    EXPECT_EQ(credential.substr(0, host.size()), host);
    EXPECT_EQ(credential, std::string(ipm_JabberMechanism::Credential().c_str()));
}

TEST(JabberMechanism, EncodesTheJabberVariantWithItsJobName) {
    DestroyTransmitter();
    SetCommandLine({});
    ipm_JabberMechanism mechanism;
    mechanism.SetJobName("beam");
    const char* texts[] = {"<b>x</b>", "a<b", "1e40"};
    const double reals[] = {1e40};
    EXPECT_EQ(
        std::string(
            mechanism.Encode("Step", "message=%s stepName=%s v=%r", nullptr, reals, texts, false)
                .c_str()),
        "<Step><message type=\"string\"><b>x</b></message>"
        "<stepName type=\"string\">a&lt;b</stepName><v type=\"float\">" +
            std::string(cow_String(1e40).c_str()) +
            "</v><phase type=\"symconst\"></phase>"
            "<jobName type=\"string\">beam</jobName></Step>\n");
    DestroyTransmitter();
}

} // namespace
