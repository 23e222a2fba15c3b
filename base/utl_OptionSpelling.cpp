#include "base/utl_OptionSpelling.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace {

std::string commonForm(const char* name) {
    while (*name == '-')
        ++name;
    std::string form;
    for (; *name != '\0'; ++name) {
        const unsigned char character = static_cast<unsigned char>(*name);
        form += character == '-' ? '_' : static_cast<char>(std::tolower(character));
    }
    return form;
}

// Optimal string alignment: the edit distance in which two swapped neighbours count once.
int editDistance(const std::string& a, const std::string& b) {
    const std::size_t columns = b.size() + 1;
    std::vector<int> rows(3 * columns);
    int* before = rows.data();
    int* previous = before + columns;
    int* current = previous + columns;
    for (std::size_t j = 0; j < columns; ++j)
        previous[j] = int(j);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = int(i);
        for (std::size_t j = 1; j < columns; ++j) {
            const int replaced = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, replaced});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                current[j] = std::min(current[j], before[j - 2] + 1);
        }
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[columns - 1];
}

} // namespace

int utl_OptionSpelling::Distance(const char* given, const char* known) {
    return editDistance(commonForm(given), commonForm(known));
}

const char* utl_OptionSpelling::Nearest(const char* given, const char* const* known, int count,
                                        int tolerance) {
    const char* nearest = nullptr;
    int nearestDistance = tolerance + 1;
    for (int i = 0; i < count; ++i) {
        const int distance = Distance(given, known[i]);
        if (distance < nearestDistance) {
            nearest = known[i];
            nearestDistance = distance;
        }
    }
    return nearest;
}

int utl_OptionSpelling::ToleranceFor(const char* given) {
    const int length = int(commonForm(given).size());
    // A name of one or two characters would be near anything.
    return std::min(length - 1, std::max(2, length / 3));
}
