#include "common/messages.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <string_view>

#include "api/settings.h"
#include "byteframe/transfer_status.h"
#include "common/lasting.h"
#include "platform/locale.h"
#include "platform/profile.h"
#include "textframe/link_status.h"

namespace tarvix {

namespace {

// One built-in text pair: the number is the error code, or the prompt number of a prompt.  The
// Chinese texts are GBK bytes (the readable form stands in the comment); the tables hand them on
// unconverted.
struct BuiltIn {
    uint32_t number;
    const char* english;
    const char* chinese;
};

// Text-frame family: the error codes it has texts for, then its prompts.
constexpr std::array<BuiltIn, 14> kTfCodes{{
    {0, "Operation succeed", "\xb2\xd9\xd7\xf7\xb3\xc9\xb9\xa6"},  // 操作成功
    {2, "Operation error", "\xc3\xfc\xc1\xee\xb4\xed\xce\xf3"},    // 命令错误
    {5, "Communication was terminated by user",
     "\xb5\xb1\xc7\xb0\xcd\xa8\xd1\xb6\xb1\xbb\xd3\xc3\xbb\xa7\xd6\xd5\xd6\xb9"},  // 当前通讯被用户终止
    {10, "Can't connected to HC",
     "\xb2\xbb\xc4\xdc\xbd\xa8\xc1\xa2\xcd\xa8\xd1\xb6\xbd\xf8\xb3\xcc"},  // 不能建立通讯进程
    {19, "Sending fail", "\xb7\xa2\xcb\xcd\xca\xa7\xb0\xdc"},              // 发送失败
    {21, "File not existed", "\xce\xc4\xbc\xfe\xb2\xbb\xb4\xe6\xd4\xda"},  // 文件不存在
    {22, "Can't create file", "\xb4\xf2\xbf\xaa\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc"},  // 打开文件失败
    {27, "File name illegal", "\xd6\xb8\xb6\xa8\xce\xc4\xbc\xfe\xc3\xfb\xb7\xc7\xb7\xa8"},  // 指定文件名非法
    {33, "HC disk space is not enough",
     "\xd5\xc6\xc9\xcf\xb5\xe7\xc4\xd4"
     "Flash\xbf\xd5\xbc\xe4\xc2\xfa"},                           // 掌上电脑Flash空间满
    {36, "Receiving fail", "\xbd\xd3\xca\xd5\xca\xa7\xb0\xdc"},  // 接收失败
    {40, "Input para error", "\xb4\xab\xc8\xeb\xb2\xce\xca\xfd\xb4\xed\xce\xf3"},     // 传入参数错误
    {41, "Creating err", "\xb4\xb4\xbd\xa8\xc4\xbf\xc2\xbc\xb4\xed\xce\xf3"},         // 创建目录错误
    {42, "Illegal Mif file", "Mif\xce\xc4\xbc\xfe\xb8\xf1\xca\xbd\xb4\xed\xce\xf3"},  // Mif文件格式错误
    {43, "Creating thread err", "\xb4\xb4\xbd\xa8\xcf\xdf\xb3\xcc\xb4\xed\xce\xf3"},  // 创建线程错误
}};

constexpr std::array<BuiltIn, 6> kTfPrompts{{
    {0, " existed,overwrite??",
     "\xd2\xd1\xbe\xad\xb4\xe6\xd4\xda\xa3\xac\xb8\xb2\xb8\xc7??"},           // 已经存在，覆盖??
    {1, "Attention", "\xcc\xe1\xca\xbe"},                                     // 提示
    {9, "MIF file format error", "MIF\xb8\xf1\xca\xbd\xb4\xed\xce\xf3"},      // MIF格式错误
    {14, "Delete file", "\xc8\xb7\xc8\xcf\xc9\xbe\xb3\xfd\xce\xc4\xbc\xfe"},  // 确认删除文件
    {18, "No memory", "\xbf\xd5\xbc\xe4\xb2\xbb\xd7\xe3"},                    // 空间不足
    {27, "Folder with the same name exists",
     "\xb4\xe6\xd4\xda\xcd\xac\xc3\xfb\xc4\xbf\xc2\xbc"},  // 存在同名目录
}};

// Byte-frame family: the error codes it has texts for, then its prompts.
constexpr std::array<BuiltIn, 37> kBfCodes{{
    {0, "Operation succeed", "\xb2\xd9\xd7\xf7\xb3\xc9\xb9\xa6"},         // 操作成功
    {1, "Operation denied", "\xc3\xfc\xc1\xee\xb1\xbb\xbe\xdc\xbe\xf8"},  // 命令被拒绝
    {2, "Operation error", "\xc3\xfc\xc1\xee\xb4\xed\xce\xf3"},           // 命令错误
    {3, "Operation illegal", "\xc3\xfc\xc1\xee\xb7\xc7\xb7\xa8"},         // 命令非法
    {4, "Communication was terminated by HC",
     "\xb5\xb1\xc7\xb0\xcd\xa8\xd1\xb6\xb1\xbb\xb6\xd4\xb7\xbd\xd6\xd5\xd6\xb9"},  // 当前通讯被对方终止
    {5, "Communication was terminated by user",
     "\xb5\xb1\xc7\xb0\xcd\xa8\xd1\xb6\xb1\xbb\xd3\xc3\xbb\xa7\xd6\xd5\xd6\xb9"},  // 当前通讯被用户终止
    {10, "Can't connected to HC",
     "\xb2\xbb\xc4\xdc\xbd\xa8\xc1\xa2\xcd\xa8\xd1\xb6\xbd\xf8\xb3\xcc"},  // 不能建立通讯进程
    {11, "No response", "\xb6\xd4\xb7\xbd\xce\xde\xd3\xa6\xb4\xf0"},       // 对方无应答
    {12, "Communication out of time",
     "\xcd\xa8\xd1\xb6\xca\xb1\xb3\xf6\xcf\xd6\xb3\xac\xca\xb1\xb4\xed\xce\xf3"},  // 通讯时出现超时错误
    {13, "Package was lost", "\xca\xfd\xbe\xdd\xb0\xfc\xcd\xb7\xb6\xaa\xca\xa7"},  // 数据包头丢失
    {14, "Package illegal", "\xca\xfd\xbe\xdd\xb0\xfc\xb7\xc7\xb7\xa8"},           // 数据包非法
    {15, "Package was lost", "\xca\xfd\xbe\xdd\xb0\xfc\xb6\xaa\xca\xa7"},          // 数据包丢失
    {16, "Package was not been responsed",
     "\xca\xfd\xbe\xdd\xb0\xfc\xce\xb4\xb1\xbb\xd5\xfd\xc8\xb7\xcf\xec\xd3\xa6"},  // 数据包未被正确响应
    {17, "Package crc error", "\xca\xfd\xbe\xdd\xb0\xfc\xd0\xa3\xd1\xe9\xb4\xed\xce\xf3"},  // 数据包校验错误
    {18, "Package end was not been responsed",
     "\xca\xfd\xbe\xdd\xb0\xfc\xbd\xe1\xca\xf8\xc7\xeb\xc7\xf3\xce\xb4\xb1\xbb\xcf\xec\xd3\xa6"},  // 数据包结束请求未被响应
    {19, "Sending fail", "\xb7\xa2\xcb\xcd\xca\xa7\xb0\xdc"},                       // 发送失败
    {20, "No file was selected", "\xce\xb4\xd6\xb8\xb6\xa8\xce\xc4\xbc\xfe"},       // 未指定文件
    {21, "File not existed", "\xce\xc4\xbc\xfe\xb2\xbb\xb4\xe6\xd4\xda"},           // 文件不存在
    {22, "Can't create file", "\xb2\xbb\xc4\xdc\xb4\xb4\xbd\xa8\xce\xc4\xbc\xfe"},  // 不能创建文件
    {23, "Can't open file", "\xb4\xf2\xb2\xbb\xbf\xaa\xce\xc4\xbc\xfe"},            // 打不开文件
    {24, "Reading file fail", "\xb6\xc1\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc"},          // 读文件失败
    {25, "Writing file fail", "\xd0\xb4\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc"},          // 写文件失败
    {26, "File was destroied",
     "\xce\xc4\xbc\xfe\xb8\xf1\xca\xbd\xb7\xc7\xb7\xa8\xbb\xf2\xd2\xd1\xcb\xf0\xbb\xb5"},  // 文件格式非法或已损坏
    {27, "File name illegal", "\xd6\xc6\xb6\xa8\xce\xc4\xbc\xfe\xc3\xfb\xb7\xc7\xb7\xa8"},  // 制定文件名非法
    {28, "File length illegal", "\xce\xc4\xbc\xfe\xb4\xf3\xd0\xa1\xb7\xc7\xb7\xa8"},  // 文件大小非法
    {30, "Out of memory", "\xc4\xda\xb4\xe6\xb2\xbb\xd7\xe3"},                        // 内存不足
    {31, "HC disk space is not enough", "\xb4\xc5\xc5\xcc\xbf\xd5\xbc\xe4\xb2\xbb\xd7\xe3"},  // 磁盘空间不足
    {32, "Out of HC memory",
     "\xd5\xc6\xc9\xcf\xb5\xe7\xc4\xd4\xc4\xda\xb4\xe6\xb2\xbb\xd7\xe3"},  // 掌上电脑内存不足
    {33, "HC disk space is not enough",
     "\xd5\xc6\xc9\xcf\xb5\xe7\xc4\xd4"
     "Flash\xbf\xd5\xbc\xe4\xc2\xfa"},                          // 掌上电脑Flash空间满
    {34, "Address error", "\xb5\xd8\xd6\xb7\xb4\xed\xce\xf3"},  // 地址错误
    {35, "Low battery of HC",
     "\xd5\xc6\xc9\xcf\xb5\xe7\xc4\xd4\xb5\xe7\xb3\xd8\xb5\xe7\xd1\xb9\xb5\xcd"},  // 掌上电脑电池电压低
    {40, "Input para error", "\xb4\xab\xc8\xeb\xb2\xce\xca\xfd\xb4\xed\xce\xf3"},  // 传入参数错误
    {41, "Creating err", "\xb4\xb4\xbd\xa8\xc4\xbf\xc2\xbc\xb4\xed\xce\xf3"},      // 创建目录错误
    {256, "Can't conneted to HC",
     "\xce\xb4\xc1\xac\xcd\xa8\xd5\xc6\xc9\xcf\xb5\xe7\xc4\xd4"},  // 未连通掌上电脑
    {512, "Is communicating", "\xd5\xfd\xd4\xda\xcd\xa8\xd1\xb6\xb9\xfd\xb3\xcc\xd6\xd0"},  // 正在通讯过程中
    {768, "Is trying to communicate",
     "\xd5\xfd\xd4\xda\xcd\xa8\xd1\xb6\xd6\xd8\xca\xd4\xb9\xfd\xb3\xcc\xd6\xd0"},  // 正在通讯重试过程中
    {4096, "Call modul error",
     "\xb3\xcc\xd0\xf2\xc4\xa3\xbf\xe9\xb5\xf7\xd3\xc3\xca\xa7\xb0\xdc"},  // 程序模块调用失败
}};

constexpr std::array<BuiltIn, 27> kBfPrompts{{
    {0, " existed,overwrite??",
     "\xd2\xd1\xbe\xad\xb4\xe6\xd4\xda\xa3\xac\xb8\xb2\xb8\xc7??"},   // 已经存在，覆盖??
    {1, "Attention", "\xcc\xe1\xca\xbe"},                             // 提示
    {2, "File belong to", "\xce\xc4\xbc\xfe\xca\xf4\xd3\xda"},        // 文件属于
    {3, ",delete really??", ", \xc8\xb7\xc8\xcf\xc9\xbe\xb3\xfd??"},  // , 确认删除??
    {4, "Existed overwrite??",
     "\xce\xc4\xbc\xfe\xd2\xd1\xbe\xad\xb4\xe6\xd4\xda\xa3\xac\xb8\xb2\xb8\xc7??"},  // 文件已经存在，覆盖??
    {5, "Out of memory of HC", "HC\xd3\xc3\xbb\xa7\xbf\xd5\xbc\xe4\xb2\xbb\xd7\xe3"},  // HC用户空间不足
    {6, "Error", "\xb2\xd9\xd7\xf7\xb3\xc9\xb9\xa6"},                                  // 操作成功
    {7, "On memory", "\xb2\xd9\xd7\xf7\xb3\xc9\xb9\xa6"},                              // 操作成功
    {8, ".DBF file format error",
     ".DBF \xce\xc4\xbc\xfe\xb8\xf1\xca\xbd\xb4\xed\xce\xf3"},                // .DBF 文件格式错误
    {9, "MIF file format error", "MIF\xb8\xf1\xca\xbd\xb4\xed\xce\xf3"},      // MIF格式错误
    {10, "Fail", "\xbd\xd3\xca\xd5\xca\xa7\xb0\xdc"},                         // 接收失败
    {11, "Finished", "\xbd\xd3\xca\xd5\xcd\xea\xb3\xc9"},                     // 接收完成
    {12, "Fail", "\xb7\xa2\xcb\xcd\xca\xa7\xb0\xdc"},                         // 发送失败
    {13, "Finished", "\xb7\xa2\xcb\xcd\xcd\xea\xb3\xc9"},                     // 发送完成
    {14, "Delete file", "\xc8\xb7\xc8\xcf\xc9\xbe\xb3\xfd\xce\xc4\xbc\xfe"},  // 确认删除文件
    {15, "Del Fail", "\xc9\xbe\xb3\xfd\xca\xa7\xb0\xdc"},                     // 删除失败
    {16, "Delete File", "\xc8\xb7\xc8\xcf\xc9\xbe\xb3\xfd\xce\xc4\xbc\xfe"},  // 确认删除文件
    {17, "Del Finish", "\xc9\xbe\xb3\xfd\xcd\xea\xb3\xc9"},                   // 删除完成
    {18, "No memory", "\xbf\xd5\xbc\xe4\xb2\xbb\xd7\xe3"},                    // 空间不足
    {19, "Success", "\xb4\xb4\xbd\xa8\xb3\xc9\xb9\xa6"},                      // 创建成功
    {20, "Fail", "\xb4\xb4\xbd\xa8\xca\xa7\xb0\xdc"},                         // 创建失败
    {21, "Del success", "\xc9\xbe\xb3\xfd\xb3\xc9\xb9\xa6"},                  // 删除成功
    {22, "Del fail", "\xc9\xbe\xb3\xfd\xca\xa7\xb0\xdc"},                     // 删除失败
    {23, "Fail", "\xca\xa7\xb0\xdc"},                                         // 失败
    {24, "Finished", "\xcd\xea\xb3\xc9"},                                     // 完成
    {25, "Sending", "\xd2\xd1\xb7\xa2\xcb\xcd"},                              // 已发送
    {26, "not exist", "\xb2\xbb\xb4\xe6\xd4\xda"},                            // 不存在
}};

// Every built-in text must fit a slot whole, so that no built-in ever reaches a caller cut.
template <size_t N>
constexpr bool AllFitSlots(const std::array<BuiltIn, N>& texts) {
    for (const BuiltIn& text : texts) {
        if (std::char_traits<char>::length(text.english) > kMessageTextMax) return false;
        if (std::char_traits<char>::length(text.chinese) > kMessageTextMax) return false;
    }
    return true;
}
static_assert(AllFitSlots(kTfCodes) && AllFitSlots(kTfPrompts));
static_assert(AllFitSlots(kBfCodes) && AllFitSlots(kBfPrompts));
// The loaders rely on code 0 standing first: its key Msg0 decides where the texts come from.
static_assert(kTfCodes[0].number == 0 && kBfCodes[0].number == 0);

using Slot = std::array<char, kMessageSlotSize>;

void PutText(Slot& slot, const char* text) {
    slot.fill('\0');
    CopyText(text, slot.data(), slot.size());
}

void ReadText(const std::string& ini, const std::string& section, const std::string& key,
              const char* fallback, Slot& slot) {
    slot.fill('\0');
    platform::GetProfileString(ini, section.c_str(), key.c_str(), fallback, slot.data(), slot.size());
    slot.back() = '\0';  // the reader cuts to the size less one; keep the slot terminated regardless
}

// A family's table: the slots of its error codes in list order, then the slots of its prompts.
template <size_t Codes, size_t Prompts>
class MessageTable {
  public:
    MessageTable(const std::array<BuiltIn, Codes>& codes, const std::array<BuiltIn, Prompts>& prompts)
        : codes_(codes), prompts_(prompts) {}

    void Load() {
        const std::string ini = IniPath();
        const MessageLanguage language = ChooseMessageLanguage(ini);
        Slots next{};
        ReadText(ini, language.section, "Msg0", "", next[0]);
        if (next[0][0] == '\0') {
            if (!language.chinese) {
                // No texts of the file: the English built-ins, whatever else the section holds.
                for (size_t i = 0; i < Codes; ++i) PutText(next[i], codes_[i].english);
                for (size_t i = 0; i < Prompts; ++i) PutText(next[Codes + i], prompts_[i].english);
                Publish(next);
                return;
            }
            PutText(next[0], codes_[0].chinese);
        }
        // A key the section lacks takes its Chinese text, whatever the language.
        for (size_t i = 1; i < Codes; ++i) {
            ReadText(ini, language.section, "Msg" + std::to_string(codes_[i].number), codes_[i].chinese,
                     next[i]);
        }
        for (size_t i = 0; i < Prompts; ++i) {
            ReadText(ini, language.section, "msg0" + std::to_string(prompts_[i].number), prompts_[i].chinese,
                     next[Codes + i]);
        }
        Publish(next);
    }

    std::optional<std::string> Code(uint32_t code) const {
        for (size_t i = 0; i < Codes; ++i) {
            if (codes_[i].number == code) return Text(i);
        }
        return std::nullopt;
    }

    std::optional<std::string> Prompt(uint32_t number) const {
        for (size_t i = 0; i < Prompts; ++i) {
            if (prompts_[i].number == number) return Text(Codes + i);
        }
        return std::nullopt;
    }

  private:
    using Slots = std::array<Slot, Codes + Prompts>;

    // The new table replaces the old one whole, so readers never see texts of two loads mixed.
    void Publish(const Slots& next) {
        std::lock_guard<std::mutex> hold(lock_);
        slots_ = next;
    }

    std::string Text(size_t index) const {
        std::lock_guard<std::mutex> hold(lock_);
        return std::string(slots_[index].data());
    }

    const std::array<BuiltIn, Codes>& codes_;
    const std::array<BuiltIn, Prompts>& prompts_;
    mutable std::mutex lock_;
    Slots slots_{};  // empty until the first load
};

// Reached through functions so that the tables exist before the library's start-up code loads them,
// whatever the order of static initialisation; never destroyed by the static destructors, because a
// worker may still show a message while the process ends.
MessageTable<14, 6>& TfTable() {
    static Lasting<MessageTable<14, 6>> table(kTfCodes, kTfPrompts);
    return *table;
}

MessageTable<37, 27>& BfTable() {
    static Lasting<MessageTable<37, 27>> table(kBfCodes, kBfPrompts);
    return *table;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

size_t CopyText(const std::string& text, char* out, size_t size) {
    if (out == nullptr || size == 0) return 0;
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n;
}

MessageLanguage ChooseMessageLanguage(const std::string& ini_path) {
    // 20 bytes: a longer word is cut to 19 characters, so the section name stays within 26.
    char value[20] = {};
    platform::GetProfileString(ini_path, "INFO", "language", "", value, sizeof value);
    value[sizeof value - 1] = '\0';
    if (value[0] != '\0') {
        // The word is kept as written: the profile reader matches section names without regard to case.
        return MessageLanguage{EqualsIgnoringCase(value, "chinese"), std::string(value) + "_dllmsg"};
    }
    const bool chinese = platform::UserLocaleId() == "00000804";
    return MessageLanguage{chinese, chinese ? "chinese_dllmsg" : "english_dllmsg"};
}

}  // namespace tarvix

namespace tarvix::tf {

void LoadMessages() {
    TfTable().Load();
}

std::optional<std::string> MessageForCode(uint32_t code) {
    return TfTable().Code(code);
}

int32_t GetErrorMsg(uint32_t code, char* text) {
    if (code == kLastErrorCode) code = static_cast<uint32_t>(Status().last_error.load());
    if (text == nullptr) return 1;
    const std::optional<std::string> message = MessageForCode(code);
    if (!message) return 1;
    CopyText(*message, text, kMessageSlotSize);
    return 0;
}

std::string Prompt(TfPrompt key) {
    return TfTable().Prompt(static_cast<uint32_t>(key)).value_or("");
}

size_t CopyPrompt(TfPrompt key, char* out, size_t size) {
    return CopyText(Prompt(key), out, size);
}

}  // namespace tarvix::tf

namespace tarvix::bf {

void LoadMessages() {
    BfTable().Load();
}

std::optional<std::string> MessageForCode(uint32_t code) {
    return BfTable().Code(code);
}

int32_t GetErrorMsg(uint32_t code, char* text) {
    if (code == kLastErrorCode) code = ErrorCode();
    if (text == nullptr) return 0;
    const std::optional<std::string> message = MessageForCode(code);
    if (message) CopyText(*message, text, kMessageSlotSize);
    return 0;
}

std::string Prompt(BfPrompt key) {
    return Prompt(static_cast<int>(key));
}

std::string Prompt(int number) {
    if (number < 0) return "";
    return BfTable().Prompt(static_cast<uint32_t>(number)).value_or("");
}

size_t CopyPrompt(BfPrompt key, char* out, size_t size) {
    return CopyText(Prompt(key), out, size);
}

}  // namespace tarvix::bf
