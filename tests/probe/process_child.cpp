// A child program for the process tests, the same on every system:
//   process_child exit <code> [word...]  prints each word as "[word]" on a line, the current
//                                        folder on a line "cwd <folder>"; exits with <code>
//   process_child sleep <seconds>        sleeps, then exits with 0
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

int main(int argc, char **argv) {
    if (argc < 3)
        return 100;
    const std::string action = argv[1];
    const int number = std::atoi(argv[2]);
    if (action == "sleep") {
        std::this_thread::sleep_for(std::chrono::seconds(number));
        return 0;
    }
    for (int i = 3; i < argc; ++i)
        std::printf("[%s]\n", argv[i]);
    std::printf("cwd %s\n", std::filesystem::current_path().string().c_str());
    return number;
}
