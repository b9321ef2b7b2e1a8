// Feeds stored inputs to a fuzz target's entry point, once each, outside the
// fuzzer: the seed corpus and the inputs that once made the target fail keep
// being tried in the ordinary and sanitizer builds.
//
// Usage: fuzz_<name>_inputs FOLDER_OR_FILE...
// Every file of each folder is one input, hidden files aside. Each input is handed over
// in a heap block of exactly its size, as the fuzzer does, so that a read
// past its end shows in the sanitizer build.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool IsFolder(const std::string& path)
{
    struct stat info
    {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The files of a folder in name order, so that every run goes the same way.
bool ListFiles(const std::string& folder, std::vector<std::string>& files)
{
    DIR* directory = ::opendir(folder.c_str());
    if (!directory)
        return false;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        // Hidden files (.gitkeep holds an empty folder in the repository) are no inputs.
        if (name[0] != '.' && !IsFolder(folder + "/" + name))
            names.push_back(name);
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        files.push_back(folder + "/" + name);
    return true;
}

bool ReadWhole(const std::string& path, std::vector<char>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);

    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        if (IsFolder(path)) {
            if (!ListFiles(path, files)) {
                std::fprintf(stderr, "cannot read the folder %s\n", path.c_str());
                return 1;
            }
        } else {
            files.push_back(path);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 1;
    }

    for (const std::string& file : files) {
        std::vector<char> bytes;
        if (!ReadWhole(file, bytes)) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        const std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), input.get());
        std::printf("%s (%zu bytes)\n", file.c_str(), bytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(input.get(), bytes.size());
    }
    std::printf("%zu inputs ran without a fault\n", files.size());
    return 0;
}
