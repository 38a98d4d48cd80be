#include "tables/packed_table.h"

namespace tarvix::tables {
namespace {

std::string WithLastChar(const std::string& path, char lower, char upper) {
    if (path.empty()) return path;
    std::string out = path;
    const bool lower_case = (static_cast<unsigned char>(out.back()) & 0x20) != 0;
    out.back() = lower_case ? lower : upper;
    return out;
}

}  // namespace

std::string PackedName(const std::string& table_path) {
    return WithLastChar(table_path, 'c', 'C');
}
std::string HeaderFileName(const std::string& table_path) {
    return WithLastChar(table_path, 'i', 'I');
}
std::string PackedAsideName(const std::string& table_path) {
    return WithLastChar(table_path, '$', '$');
}
std::string DownloadHeaderFileName(const std::string& table_path) {
    return WithLastChar(table_path, 'i', 'i');
}

}  // namespace tarvix::tables
