#include "unit.h"

#include <cstdlib>

namespace unit {

namespace {
int failures = 0;
}

std::vector<Test> &tests()
{
    static std::vector<Test> all;
    return all;
}

void check(bool holds, const std::string &what, const char *file, int line)
{
    if (holds)
        return;
    failures++;
    std::printf("%s:%d: failed: %s\n", file, line, what.c_str());
}

}  // namespace unit

int main()
{
    for (const unit::Test &test : unit::tests()) {
        const int before = unit::failures;
        test.run();
        std::printf("%s %s\n", unit::failures == before ? "ok  " : "FAIL", test.name);
    }
    std::printf("%zu tests, %d failed checks\n", unit::tests().size(), unit::failures);
    return unit::failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
