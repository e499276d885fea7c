#include "process/sysfs_attribute.h"

#include <algorithm>
#include <fstream>

namespace {

constexpr std::size_t kMaxAttributeBytes = 4096;

} // namespace

std::string readSysfsAttribute(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return "";
    }
    std::ifstream in(path, std::ios::binary);
    std::string text(kMaxAttributeBytes, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}
