#include "api/settings.h"

#include "platform/process.h"

namespace tarvix {

std::string IniPathFromCommandLine(const std::string& command_line, size_t limit) {
    const std::string bare = "tarvix.ini";
    // The command line is taken into a buffer of `limit` bytes: a longer one is not trusted.
    if (command_line.size() + 1 > limit || command_line.empty() || command_line[0] != '"') return bare;
    std::string path = command_line.substr(1);
    size_t quote = path.find('"');
    if (quote != std::string::npos) path.resize(quote);
    size_t slash = path.rfind('\\');
    if (slash != std::string::npos) path.resize(slash);
    path += "\\tarvix.ini";
    if (path.size() + 1 > limit) return bare;
    return path;
}

std::string IniPath() {
    if (platform::HasEnvironment("TARVIX_INI")) return platform::Environment("TARVIX_INI");
#ifdef _WIN32
    // Windows keeps the command line as the program was started: the rule applies as it stands, and a
    // bare name is looked up by the profile functions in the Windows folder.
    return IniPathFromCommandLine(platform::CommandLine());
#endif
    std::string folder = platform::ProgramFolder();
    if (folder.empty()) return "tarvix.ini";
    return folder + "/tarvix.ini";
}

}  // namespace tarvix
