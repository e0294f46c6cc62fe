// Minimal assertion harness: TEST(name) registers a case, CHECK* record
// failures without stopping the case, main() runs every case and exits
// non-zero if any check failed.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace harness {

struct Case {
    const char* name;
    std::function<void()> fn;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int failures = 0;
inline const char* current = "";

struct Registrar {
    Registrar(const char* name, std::function<void()> fn) { registry().push_back({name, std::move(fn)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures;
    std::fprintf(stderr, "%s:%d: [%s] %s\n", file, line, current, what.c_str());
}

inline int run_all(const char* filter) {
    int ran = 0;
    int failed_cases = 0;
    for (const Case& c : registry()) {
        if (filter != nullptr && std::strstr(c.name, filter) == nullptr) {
            continue;
        }
        current = c.name;
        const int before = failures;
        c.fn();
        ++ran;
        if (failures != before) {
            ++failed_cases;
        }
    }
    std::printf("%d passed, %d failed\n", ran - failed_cases, failed_cases);
    return failed_cases == 0 && ran > 0 ? 0 : 1;
}

}  // namespace harness

#define HARNESS_CAT2(a, b) a##b
#define HARNESS_CAT(a, b) HARNESS_CAT2(a, b)
#define TEST(name)                                                                  \
    static void HARNESS_CAT(test_, name)();                                         \
    static harness::Registrar HARNESS_CAT(reg_, name)(#name, HARNESS_CAT(test_, name)); \
    static void HARNESS_CAT(test_, name)()

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) harness::fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
    } while (0)

#define CHECK_EQ(a, b)                                                                  \
    do {                                                                                \
        const auto& va_ = (a);                                                          \
        const auto& vb_ = (b);                                                          \
        if (!(va_ == vb_))                                                              \
            harness::fail(__FILE__, __LINE__,                                           \
                          "CHECK_EQ(" #a ", " #b "): " + std::to_string(va_) + " != " + \
                              std::to_string(vb_));                                     \
    } while (0)

// Context for checks inside loops over tables.
#define CHECK_MSG(cond, msg)                                                          \
    do {                                                                              \
        if (!(cond)) harness::fail(__FILE__, __LINE__, std::string("CHECK(" #cond ") ") + (msg)); \
    } while (0)

#define HARNESS_MAIN                                                  \
    int main(int argc, char** argv) {                                 \
        return harness::run_all(argc > 1 ? argv[1] : nullptr);        \
    }
