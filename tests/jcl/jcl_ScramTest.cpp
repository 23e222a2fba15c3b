#include "jcl/jcl_Scram.h"
#include "jcl/jcl_Base64.h"
#include "jcl/jcl_TlsFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ExchangeCase {
    jcl_Crypto::Hash hash;
    std::string clientNonce;
    std::string clientFirst;
    std::string serverFirst;
    std::string clientFinal;
    std::string serverFinal;
};

// The examples of the two RFCs, user "user" with password "pencil".
const std::vector<ExchangeCase> rfcExamples = {
    {jcl_Crypto::sha1, "fyko+d2lbbFgONRv9qkxdawL", "n,,n=user,r=fyko+d2lbbFgONRv9qkxdawL",
     "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096",
     "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=",
     "v=rmF9pqV8S7suAoZWja4dJRkFsKQ="},
    {jcl_Crypto::sha256, "rOprNGfwEbeRWgbNEkqO", "n,,n=user,r=rOprNGfwEbeRWgbNEkqO",
     "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
     "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
     "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=",
     "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="},
};

TEST(jcl_ScramTest, TheExchangesOfTheRfcExamplesComeOutByteForByte) {
    for (const ExchangeCase& example : rfcExamples) {
        SCOPED_TRACE(jcl_Scram::MechanismName(example.hash));
        jcl_Scram scram(example.hash, "user", "pencil", example.clientNonce);
        EXPECT_EQ(scram.ClientFirst(), example.clientFirst);
        std::string clientFinal, why;
        ASSERT_TRUE(scram.ClientFinal(example.serverFirst, clientFinal, why)) << why;
        EXPECT_EQ(clientFinal, example.clientFinal);
        EXPECT_TRUE(scram.VerifyServerFinal(example.serverFinal, why)) << why;

        // A server that does not know the password cannot produce the signature.
        std::string forged = example.serverFinal;
        forged[3] = forged[3] == 'A' ? 'B' : 'A';
        EXPECT_FALSE(scram.VerifyServerFinal(forged, why));
        EXPECT_EQ(why, "the server could not prove that it knows the password");
        EXPECT_FALSE(scram.VerifyServerFinal("e=invalid-proof", why));
        EXPECT_EQ(why, "the server refused the proof (invalid-proof)");
        EXPECT_FALSE(scram.VerifyServerFinal("", why));
    }
}

TEST(jcl_ScramTest, ServerFirstMessagesThatCannotBeAnsweredAreRefused) {
    const std::string nonce = "fyko+d2lbbFgONRv9qkxdawL";
    const struct {
        const char* name;
        std::string serverFirst;
        const char* why;
    } cases[] = {
        {"another exchange's nonce", "r=someoneElse3rfcNHYJY,s=QSXCR+Q6sek8bf92,i=4096",
         "the server's challenge does not continue this client's nonce"},
        {"our nonce and nothing added", "r=" + nonce + ",s=QSXCR+Q6sek8bf92,i=4096",
         "the server's challenge does not continue this client's nonce"},
        {"missing salt", "r=" + nonce + "x,i=4096",
         "the server's challenge is not a SCRAM challenge"},
        {"attributes out of order", "s=QSXCR+Q6sek8bf92,r=" + nonce + "x,i=4096",
         "the server's challenge is not a SCRAM challenge"},
        {"salt not base64", "r=" + nonce + "x,s=QSX*,i=4096",
         "the server's challenge holds no usable salt or iteration count"},
        {"empty salt", "r=" + nonce + "x,s=,i=4096",
         "the server's challenge holds no usable salt or iteration count"},
        {"zero iterations", "r=" + nonce + "x,s=QSXCR+Q6sek8bf92,i=0",
         "the server's challenge holds no usable salt or iteration count"},
        {"negative iterations", "r=" + nonce + "x,s=QSXCR+Q6sek8bf92,i=-1",
         "the server's challenge holds no usable salt or iteration count"},
        {"absurd iterations", "r=" + nonce + "x,s=QSXCR+Q6sek8bf92,i=999999999",
         "the server asks for 999999999 iterations, more than 1000000"},
        {"mandatory extension", "m=ext,r=" + nonce + "x,s=QSXCR+Q6sek8bf92,i=4096",
         "the server demands an extension that this client does not know"},
        {"empty", "", "the server's challenge is not a SCRAM challenge"},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.name);
        jcl_Scram scram(jcl_Crypto::sha1, "user", "pencil", nonce);
        std::string clientFinal, why;
        EXPECT_FALSE(scram.ClientFinal(example.serverFirst, clientFinal, why));
        EXPECT_EQ(why, example.why);
        // Nothing was answered, so nothing can be taken for the server's proof either.
        EXPECT_FALSE(scram.VerifyServerFinal("v=rmF9pqV8S7suAoZWja4dJRkFsKQ=", why));
    }
}

TEST(jcl_ScramTest, NamesAreEscapedAndNoncesAreFreshAndPrintable) {
    EXPECT_EQ(jcl_Scram::EscapeName("a=b,c"), "a=3Db=2Cc");
    EXPECT_EQ(jcl_Scram::EscapeName("=,"), "=3D=2C");
    EXPECT_EQ(jcl_Scram::EscapeName("plain"), "plain");
    EXPECT_EQ(jcl_Scram(jcl_Crypto::sha1, "job,1=x", "p", "N").ClientFirst(),
              "n,,n=job=2C1=3Dx,r=N");

    jcl_Scram first(jcl_Crypto::sha256, "u", "p");
    jcl_Scram second(jcl_Crypto::sha256, "u", "p");
    ASSERT_TRUE(first.IsUsable());
    const std::string nonce = first.ClientFirst().substr(first.ClientFirst().find(",r=") + 3);
    EXPECT_EQ(nonce.size(), 32u);
    EXPECT_EQ(nonce.find(','), std::string::npos);
    EXPECT_NE(first.ClientFirst(), second.ClientFirst());
}

TEST(jcl_ScramTest, Base64IsStandardAndStrict) {
    const struct {
        std::string bytes;
        std::string text;
    } pairs[] = {{"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
                 {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\0\xff\x10", 3), "AP8Q"},
                 {"n,,", "biws"}};
    for (const auto& pair : pairs) {
        EXPECT_EQ(jcl_Base64::Encode(pair.bytes), pair.text);
        std::string decoded;
        EXPECT_TRUE(jcl_Base64::Decode(pair.text, decoded)) << pair.text;
        EXPECT_EQ(decoded, pair.bytes);
    }
    for (const char* bad :
         {"Zg=", "Zg", "Z===", "Zm9v\n", "Zm 9", "Zh==", "Zm9=Zm9v", "Z*==", "====", "Zm8=Zm8="}) {
        std::string decoded = "left";
        EXPECT_FALSE(jcl_Base64::Decode(bad, decoded)) << bad;
    }
}

TEST(jcl_ScramTest, PinsReadAsOpensslPrintsFingerprints) {
    const std::string hex = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";
    std::string colons;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        colons += (i ? ":" : "") + hex.substr(i, 2);
    std::string digest, other;
    ASSERT_TRUE(jcl_TlsFilter::ParsePin("sha256:" + hex, digest));
    ASSERT_EQ(digest.size(), 32u);
    EXPECT_EQ(static_cast<unsigned char>(digest[0]), 0x01);
    EXPECT_EQ(static_cast<unsigned char>(digest[31]), 0xef);
    ASSERT_TRUE(jcl_TlsFilter::ParsePin("sha256:" + colons, other));
    EXPECT_EQ(other, digest);
    for (const std::string& bad :
         {"sha1:" + hex, hex, "sha256:" + hex.substr(2), "sha256:" + hex + "00",
          "sha256:" + hex.substr(1) + "g", "sha256:" + colons + ":", "sha256::" + colons,
          "SHA256:" + hex, std::string("sha256:")}) {
        std::string digestOfBad;
        EXPECT_FALSE(jcl_TlsFilter::ParsePin(bad, digestOfBad)) << bad;
    }
    // The SHA-256 of "abc", as the fingerprint of a certificate whose bytes they were.
    EXPECT_EQ(jcl_TlsFilter::Fingerprint("abc"),
              "BA:78:16:BF:8F:01:CF:EA:41:41:40:DE:5D:AE:22:23:B0:03:61:A3:96:17:7A:9C:B4:10:FF:"
              "61:F2:00:15:AD");
}

} // namespace
