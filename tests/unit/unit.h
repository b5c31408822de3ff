// A small harness for the unit tests of the parts that no black-box run reaches: each test is a function
// that reports what it finds with check; the run fails if any check does.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace unit {

struct Test {
    const char *name;
    std::function<void()> run;
};

std::vector<Test> &tests();
// Records a failure, with where and what, when holds is false.
void check(bool holds, const std::string &what, const char *file, int line);

struct Registration {
    Registration(const char *name, std::function<void()> run) { tests().push_back({name, std::move(run)}); }
};

}  // namespace unit

#define UNIT_CONCAT2(a, b) a##b
#define UNIT_CONCAT(a, b) UNIT_CONCAT2(a, b)
#define UNIT_TEST(name)                                                                                   \
    static void name();                                                                                   \
    static const unit::Registration UNIT_CONCAT(registration_, name)(#name, name);                        \
    static void name()
#define CHECK(condition, what) unit::check((condition), (what), __FILE__, __LINE__)
