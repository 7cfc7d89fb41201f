// Does one thing the sanitizers must report, so that the sanitizer build
// can show that a report fails the run with the options it runs under.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    const char *what = argc > 1 ? argv[1] : "";
    if (std::strcmp(what, "overflow") == 0) {
        char *bytes = static_cast<char *>(std::malloc(8));
        volatile int i = 8;
        bytes[i] = 1;
        std::free(bytes);
    } else if (std::strcmp(what, "leak") == 0) {
        void *volatile lost = std::malloc(64);
        lost = nullptr;
    } else if (std::strcmp(what, "undefined") == 0) {
        volatile int big = INT_MAX;
        std::printf("%d\n", big + 1);
    }
    return 0;
}
