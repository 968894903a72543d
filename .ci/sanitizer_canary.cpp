// Deliberate faults, loaded into the interpreter by .ci/run before the
// sanitizer test run, to prove that the preloaded runtime reports them.
#include <climits>
#include <cstdlib>

extern "C" int read_past_end(int index) {
    int* values = static_cast<int*>(std::malloc(4 * sizeof(int)));
    const int value = values[index];
    std::free(values);
    return value;
}

extern "C" int add_overflowing(int value) { return value + INT_MAX; }
