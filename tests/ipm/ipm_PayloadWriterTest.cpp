#include "ipm/ipm_PayloadWriter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Pieces of many sizes, some repeated from what is already written, across the room the
// writer carries and well past it: the string must hold exactly what was appended.
TEST(ipm_PayloadWriter, HoldsExactlyWhatWasAppendedWithinAndBeyondItsOwnRoom) {
    const std::size_t pieceSizes[] = {0, 1, 7, 500, 1023, 1024, 1025, 4000, 70000};
    for (std::size_t first : pieceSizes) {
        for (std::size_t second : pieceSizes) {
            ipm_PayloadWriter writer;
            std::string expected;
            const std::string a(first, 'a');
            writer.Append(a);
            expected += a;
            writer.Append('<');
            expected += '<';
            const std::size_t at = writer.Size();
            const std::string b(second, 'b');
            writer.Append(b.data(), b.size());
            expected += b;
            // Repeats the piece just written: the copy must survive the buffer moving.
            writer.AppendWritten(at, second);
            expected += b;
            writer.AppendLiteral("</x>");
            expected += "</x>";
            char* const room = writer.Reserve(3);
            room[0] = '1', room[1] = '2';
            writer.Commit(2);
            expected += "12";

            ASSERT_EQ(writer.Size(), expected.size()) << first << " then " << second;
            const cow_String text = writer.ToString();
            ASSERT_EQ(std::string(text.c_str(), std::size_t(text.length())), expected)
                << first << " then " << second;
        }
    }
}

TEST(ipm_PayloadWriter, AnEmptyWriterGivesTheEmptyString) {
    const ipm_PayloadWriter writer;
    EXPECT_EQ(writer.Size(), 0u);
    EXPECT_EQ(writer.ToString().length(), 0);
}

} // namespace
