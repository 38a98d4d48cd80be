// The message tables: built-in texts of both languages as GBK bytes, the language choice, loading from
// tarvix.ini, the code lookups behind GetErrorMsg and the prompt accessors.
#include "common/messages.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "byteframe/byteframe.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"

namespace tarvix {
namespace {

// The texts in readable form; the library must hold them as GBK bytes.
struct Expected {
    uint32_t number;
    const char* english;
    const char* chinese;
};

const std::vector<Expected> kTfCodes = {
    {0, "Operation succeed", "操作成功"},
    {2, "Operation error", "命令错误"},
    {5, "Communication was terminated by user", "当前通讯被用户终止"},
    {10, "Can't connected to HC", "不能建立通讯进程"},
    {19, "Sending fail", "发送失败"},
    {21, "File not existed", "文件不存在"},
    {22, "Can't create file", "打开文件失败"},
    {27, "File name illegal", "指定文件名非法"},
    {33, "HC disk space is not enough", "掌上电脑Flash空间满"},
    {36, "Receiving fail", "接收失败"},
    {40, "Input para error", "传入参数错误"},
    {41, "Creating err", "创建目录错误"},
    {42, "Illegal Mif file", "Mif文件格式错误"},
    {43, "Creating thread err", "创建线程错误"},
};

const std::vector<Expected> kBfCodes = {
    {0, "Operation succeed", "操作成功"},
    {1, "Operation denied", "命令被拒绝"},
    {2, "Operation error", "命令错误"},
    {3, "Operation illegal", "命令非法"},
    {4, "Communication was terminated by HC", "当前通讯被对方终止"},
    {5, "Communication was terminated by user", "当前通讯被用户终止"},
    {10, "Can't connected to HC", "不能建立通讯进程"},
    {11, "No response", "对方无应答"},
    {12, "Communication out of time", "通讯时出现超时错误"},
    {13, "Package was lost", "数据包头丢失"},
    {14, "Package illegal", "数据包非法"},
    {15, "Package was lost", "数据包丢失"},
    {16, "Package was not been responsed", "数据包未被正确响应"},
    {17, "Package crc error", "数据包校验错误"},
    {18, "Package end was not been responsed", "数据包结束请求未被响应"},
    {19, "Sending fail", "发送失败"},
    {20, "No file was selected", "未指定文件"},
    {21, "File not existed", "文件不存在"},
    {22, "Can't create file", "不能创建文件"},
    {23, "Can't open file", "打不开文件"},
    {24, "Reading file fail", "读文件失败"},
    {25, "Writing file fail", "写文件失败"},
    {26, "File was destroied", "文件格式非法或已损坏"},
    {27, "File name illegal", "制定文件名非法"},
    {28, "File length illegal", "文件大小非法"},
    {30, "Out of memory", "内存不足"},
    {31, "HC disk space is not enough", "磁盘空间不足"},
    {32, "Out of HC memory", "掌上电脑内存不足"},
    {33, "HC disk space is not enough", "掌上电脑Flash空间满"},
    {34, "Address error", "地址错误"},
    {35, "Low battery of HC", "掌上电脑电池电压低"},
    {40, "Input para error", "传入参数错误"},
    {41, "Creating err", "创建目录错误"},
    {256, "Can't conneted to HC", "未连通掌上电脑"},
    {512, "Is communicating", "正在通讯过程中"},
    {768, "Is trying to communicate", "正在通讯重试过程中"},
    {4096, "Call modul error", "程序模块调用失败"},
};

const std::vector<Expected> kTfPrompts = {
    {0, " existed,overwrite??", "已经存在，覆盖??"},
    {1, "Attention", "提示"},
    {9, "MIF file format error", "MIF格式错误"},
    {14, "Delete file", "确认删除文件"},
    {18, "No memory", "空间不足"},
    {27, "Folder with the same name exists", "存在同名目录"},
};

const std::vector<Expected> kBfPrompts = {
    {0, " existed,overwrite??", "已经存在，覆盖??"},
    {1, "Attention", "提示"},
    {2, "File belong to", "文件属于"},
    {3, ",delete really??", ", 确认删除??"},
    {4, "Existed overwrite??", "文件已经存在，覆盖??"},
    {5, "Out of memory of HC", "HC用户空间不足"},
    {6, "Error", "操作成功"},
    {7, "On memory", "操作成功"},
    {8, ".DBF file format error", ".DBF 文件格式错误"},
    {9, "MIF file format error", "MIF格式错误"},
    {10, "Fail", "接收失败"},
    {11, "Finished", "接收完成"},
    {12, "Fail", "发送失败"},
    {13, "Finished", "发送完成"},
    {14, "Delete file", "确认删除文件"},
    {15, "Del Fail", "删除失败"},
    {16, "Delete File", "确认删除文件"},
    {17, "Del Finish", "删除完成"},
    {18, "No memory", "空间不足"},
    {19, "Success", "创建成功"},
    {20, "Fail", "创建失败"},
    {21, "Del success", "删除成功"},
    {22, "Del fail", "删除失败"},
    {23, "Fail", "失败"},
    {24, "Finished", "完成"},
    {25, "Sending", "已发送"},
    {26, "not exist", "不存在"},
};

// UTF-8 to GBK through the C library's converter, independently of the library's byte escapes.
std::string Gbk(const std::string& utf8) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "no GBK converter: " << std::strerror(errno);
        return {};
    }
    std::string in = utf8;
    std::string out(in.size() * 2 + 8, '\0');
    char* src = in.data();
    char* dst = out.data();
    size_t src_left = in.size();
    size_t dst_left = out.size();
    const size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    EXPECT_NE(rc, static_cast<size_t>(-1)) << "cannot convert " << utf8;
    out.resize(out.size() - dst_left);
    return out;
}

constexpr char kFill = '#';

// What GetErrorMsg of a family gives: the result and the caller's 50-byte buffer as a string, or the
// fill pattern when the buffer was left untouched.
struct Answer {
    int32_t result;
    std::string text;
    bool untouched;
};

template <typename Fn>
Answer Ask(Fn get, uint32_t code) {
    char buffer[kMessageSlotSize];
    std::memset(buffer, kFill, sizeof buffer);
    Answer answer{get(code, buffer), {}, true};
    for (char c : buffer) answer.untouched = answer.untouched && c == kFill;
    if (!answer.untouched) {
        const void* nul = std::memchr(buffer, '\0', sizeof buffer);
        EXPECT_NE(nul, nullptr) << "text of code " << code << " not terminated within 50 bytes";
        if (nul) answer.text.assign(buffer, static_cast<size_t>(static_cast<const char*>(nul) - buffer));
    }
    return answer;
}

Answer Tf(uint32_t code) {
    return Ask(tf::GetErrorMsg, code);
}
Answer Bf(uint32_t code) {
    return Ask(bf::GetErrorMsg, code);
}

class MessagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvix_messages_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ini_ = dir_ + "/tarvix.ini";
        setenv("TARVIX_INI", ini_.c_str(), 1);
        UseLocale(false);
    }

    void TearDown() override {
        unlink(ini_.c_str());
        rmdir(dir_.c_str());
        unsetenv("TARVIX_INI");
        unsetenv("TARVIX_LOCALE");
        tf::Status().last_error.store(0);
        bf::SetErrorCode(0);
    }

    static void UseLocale(bool chinese) {
        setenv("TARVIX_LOCALE", chinese ? "zh_CN.UTF-8" : "en_US.UTF-8", 1);
    }

    void WriteIni(const std::string& bytes) {
        std::ofstream file(ini_, std::ios::binary | std::ios::trunc);
        file << bytes;
    }

    void NoIni() { unlink(ini_.c_str()); }

    // The order of ConvertLanguage: byte-frame first.
    static void Load() {
        bf::LoadMessages();
        tf::LoadMessages();
    }

    std::string dir_;
    std::string ini_;
};

// Both families' built-in texts in both languages, byte for byte, and exactly the codes of each list
// have texts.
TEST_F(MessagesTest, BuiltInTextsOfBothLanguages) {
    for (bool chinese : {false, true}) {
        SCOPED_TRACE(chinese ? "Chinese" : "English");
        NoIni();
        UseLocale(chinese);
        Load();
        auto text = [&](const Expected& e) { return chinese ? Gbk(e.chinese) : std::string(e.english); };
        std::set<uint32_t> tf_codes, bf_codes;
        for (const Expected& e : kTfCodes) {
            tf_codes.insert(e.number);
            const Answer a = Tf(e.number);
            EXPECT_EQ(a.result, 0) << "text-frame code " << e.number;
            EXPECT_EQ(a.text, text(e)) << "text-frame code " << e.number;
        }
        for (const Expected& e : kBfCodes) {
            bf_codes.insert(e.number);
            const Answer a = Bf(e.number);
            EXPECT_EQ(a.result, 0) << "byte-frame code " << e.number;
            EXPECT_EQ(a.text, text(e)) << "byte-frame code " << e.number;
        }
        for (uint32_t code = 0; code <= 5000; ++code) {
            if (code == kLastErrorCode) continue;
            if (!tf_codes.count(code)) {
                const Answer a = Tf(code);
                EXPECT_TRUE(a.result == 1 && a.untouched) << "text-frame code " << code;
            }
            if (!bf_codes.count(code)) {
                const Answer a = Bf(code);
                EXPECT_TRUE(a.result == 0 && a.untouched) << "byte-frame code " << code;
            }
        }
        for (const Expected& e : kTfPrompts) {
            EXPECT_EQ(tf::Prompt(static_cast<tf::TfPrompt>(e.number)), text(e))
                << "text-frame msg0" << e.number;
        }
        for (const Expected& e : kBfPrompts) {
            EXPECT_EQ(bf::Prompt(static_cast<bf::BfPrompt>(e.number)), text(e))
                << "byte-frame msg0" << e.number;
            EXPECT_EQ(bf::Prompt(static_cast<int>(e.number)), text(e)) << "byte-frame msg0" << e.number;
        }
    }
}

TEST_F(MessagesTest, LanguageChoice) {
    struct Case {
        const char* name;
        const char* ini;  // nullptr: no file
        bool chinese_locale;
        bool chinese;
        const char* section;
    };
    const Case cases[] = {
        {"no file, Chinese locale", nullptr, true, true, "chinese_dllmsg"},
        {"no file, other locale", nullptr, false, false, "english_dllmsg"},
        {"no INFO section", "[other]\nlanguage=chinese\n", false, false, "english_dllmsg"},
        {"chinese", "[INFO]\nlanguage=chinese\n", false, true, "chinese_dllmsg"},
        {"capitals kept in the section", "[INFO]\nlanguage=CHINESE\n", false, true, "CHINESE_dllmsg"},
        {"mixed case", "[info]\nLANGUAGE=ChInEsE\n", false, true, "ChInEsE_dllmsg"},
        {"english beats the locale", "[INFO]\nlanguage=english\n", true, false, "english_dllmsg"},
        {"unknown word", "[INFO]\nlanguage=french\n", true, false, "french_dllmsg"},
        {"empty value: the locale decides", "[INFO]\nlanguage=\n", true, true, "chinese_dllmsg"},
        {"empty value, other locale", "[INFO]\nlanguage=\n", false, false, "english_dllmsg"},
        {"chinese with a suffix is another word", "[INFO]\nlanguage=chinese2\n", true, false,
         "chinese2_dllmsg"},
        {"long word cut to 19 characters", "[INFO]\nlanguage=abcdefghijklmnopqrstuvwxyz\n", true, false,
         "abcdefghijklmnopqrs_dllmsg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.ini) {
            WriteIni(c.ini);
        } else {
            NoIni();
        }
        UseLocale(c.chinese_locale);
        const MessageLanguage language = ChooseMessageLanguage(ini_);
        EXPECT_EQ(language.chinese, c.chinese);
        EXPECT_EQ(language.section, c.section);
    }
}

// Loading from the message section: which slots take the file's texts and which the built-ins.
TEST_F(MessagesTest, LoadingFromTheSection) {
    enum Family { TF, BF, TFP, BFP };  // code of a family, or prompt of a family
    struct Check {
        Family family;
        uint32_t number;
        std::string text;
    };
    struct Case {
        const char* name;
        std::string ini;
        bool chinese_locale;
        std::vector<Check> checks;
    };
    const std::string sixty(60, 'x');
    const Case cases[] = {
        {"only Msg0 and Msg2: the rest takes the Chinese texts",
         "[english_dllmsg]\nMsg0=zero\nMsg2=two\n",
         false,
         {{TF, 0, "zero"},
          {TF, 2, "two"},
          {BF, 0, "zero"},
          {BF, 2, "two"},
          {TF, 22, Gbk("打开文件失败")},
          {BF, 22, Gbk("不能创建文件")},
          {BF, 4096, Gbk("程序模块调用失败")},
          {TFP, 27, Gbk("存在同名目录")},
          {BFP, 26, Gbk("不存在")}}},
        {"no Msg0 in english_dllmsg: all English, Msg2 unused",
         "[english_dllmsg]\nMsg2=two\nmsg01=caption\n",
         false,
         {{TF, 0, "Operation succeed"},
          {TF, 2, "Operation error"},
          {BF, 2, "Operation error"},
          {BFP, 1, "Attention"}}},
        {"no Msg0 in chinese_dllmsg: Chinese code 0, the file's Msg2",
         "[chinese_dllmsg]\nMsg2=two\n",
         true,
         {{TF, 0, Gbk("操作成功")},
          {TF, 2, "two"},
          {BF, 0, Gbk("操作成功")},
          {BF, 2, "two"},
          {BF, 3, Gbk("命令非法")}}},
        {"empty Msg0 counts as missing",
         "[english_dllmsg]\nMsg0=\nMsg2=two\n",
         false,
         {{TF, 0, "Operation succeed"}, {TF, 2, "Operation error"}}},
        {"empty value gives an empty text",
         "[english_dllmsg]\nMsg0=zero\nMsg5=\nmsg018=\n",
         false,
         {{TF, 5, ""}, {BF, 5, ""}, {TFP, 18, ""}, {BFP, 18, ""}, {TF, 10, Gbk("不能建立通讯进程")}}},
        {"a 60-byte value is cut to 49 bytes",
         "[english_dllmsg]\nMsg0=" + sixty + "\nMsg10=" + sixty + "\nmsg00=" + sixty + "\n",
         false,
         {{TF, 0, sixty.substr(0, 49)}, {BF, 10, sixty.substr(0, 49)}, {TFP, 0, sixty.substr(0, 49)}}},
        {"file bytes pass unconverted",
         "[english_dllmsg]\nMsg0=" + Gbk("成功") + "\nMsg21=\xff\xfe\x80\n",
         false,
         {{TF, 0, Gbk("成功")}, {BF, 21, "\xff\xfe\x80"}}},
        {"language in capitals finds its section without regard to case",
         "[INFO]\nlanguage=CHINESE\n[chinese_dllmsg]\nMsg0=zero\nmsg09=mif\n",
         false,
         {{TF, 0, "zero"}, {TFP, 9, "mif"}, {BFP, 9, "mif"}, {TF, 2, Gbk("命令错误")}}},
        {"language in capitals without a section: the Chinese built-ins",
         "[INFO]\nlanguage=CHINESE\n",
         false,
         {{TF, 21, Gbk("文件不存在")}, {BF, 21, Gbk("文件不存在")}}},
        {"unknown word without its section: the English built-ins",
         "[INFO]\nlanguage=french\n[chinese_dllmsg]\nMsg0=zero\n",
         true,
         {{TF, 0, "Operation succeed"}, {BF, 12, "Communication out of time"}}},
        {"unknown word with its section",
         "[INFO]\nlanguage=french\n[french_dllmsg]\nMsg0=succes\nMsg12=delai\nmsg011=fini\n",
         false,
         {{TF, 0, "succes"}, {BF, 12, "delai"}, {BFP, 11, "fini"}, {BFP, 10, Gbk("接收失败")}}},
        {"other keys of the section are not texts of the table",
         "[english_dllmsg]\nMsg0=zero\nMsg6=six\nmsg02=two\nmsg6=six\n",
         false,
         {{BFP, 2, "two"}, {BFP, 6, Gbk("操作成功")}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteIni(c.ini);
        UseLocale(c.chinese_locale);
        Load();
        for (const Check& check : c.checks) {
            SCOPED_TRACE(check.number);
            switch (check.family) {
                case TF: {
                    const Answer a = Tf(check.number);
                    EXPECT_EQ(a.result, 0);
                    EXPECT_EQ(a.text, check.text);
                    break;
                }
                case BF: {
                    const Answer a = Bf(check.number);
                    EXPECT_EQ(a.result, 0);
                    EXPECT_EQ(a.text, check.text);
                    break;
                }
                case TFP:
                    EXPECT_EQ(tf::Prompt(static_cast<tf::TfPrompt>(check.number)), check.text);
                    break;
                case BFP:
                    EXPECT_EQ(bf::Prompt(static_cast<int>(check.number)), check.text);
                    break;
            }
        }
    }
    // Code 6 has no byte-frame text even when the section holds a key for it.
    const Answer six = Bf(6);
    EXPECT_TRUE(six.result == 0 && six.untouched);
}

// 0xFFFF stands for the family's last error code; every other code is compared as an unsigned 32-bit
// number, so neither a negative code nor one whose low 16 bits match reaches a text.
TEST_F(MessagesTest, LastErrorCodeAndUnsignedCodes) {
    NoIni();
    UseLocale(false);
    Load();
    struct Case {
        const char* name;
        int32_t tf_last;
        uint16_t bf_last;
        uint32_t code;
        Answer tf;
        Answer bf;
    };
    const Case cases[] = {
        {"0xFFFF after a failed detection",
         ErrNoLink,
         ErrNoLink,
         0xFFFF,
         {0, "Can't connected to HC", false},
         {0, "Can't connected to HC", false}},
        {"0xFFFF with a code only the byte-frame list has",
         ErrTimeout,
         ErrTimeout,
         0xFFFF,
         {1, "", true},
         {0, "Communication out of time", false}},
        {"0xFFFF with the last codes 0",
         0,
         0,
         0xFFFF,
         {0, "Operation succeed", false},
         {0, "Operation succeed", false}},
        {"0x1FFFF is not 0xFFFF", ErrNoLink, ErrNoLink, 0x1FFFF, {1, "", true}, {0, "", true}},
        {"-1 has no text", ErrNoLink, ErrNoLink, 0xFFFFFFFFu, {1, "", true}, {0, "", true}},
        {"65536 + 21 is not 21", 0, 0, 0x10015, {1, "", true}, {0, "", true}},
        {"negative 21 is not 21", 0, 0, static_cast<uint32_t>(-21), {1, "", true}, {0, "", true}},
        {"code 1: byte-frame only", 0, 0, 1, {1, "", true}, {0, "Operation denied", false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tf::Status().last_error.store(c.tf_last);
        bf::SetErrorCode(c.bf_last);
        for (auto [got, want] : {std::pair{Tf(c.code), c.tf}, std::pair{Bf(c.code), c.bf}}) {
            EXPECT_EQ(got.result, want.result);
            EXPECT_EQ(got.untouched, want.untouched);
            EXPECT_EQ(got.text, want.text);
        }
    }
    // A null buffer is refused, not written through.
    EXPECT_EQ(tf::GetErrorMsg(0, nullptr), 1);
    EXPECT_EQ(bf::GetErrorMsg(0, nullptr), 0);
}

TEST_F(MessagesTest, PromptCopiesAreTerminatedAndBounded) {
    NoIni();
    UseLocale(false);
    Load();
    char out[8];
    std::memset(out, kFill, sizeof out);
    EXPECT_EQ(tf::CopyPrompt(tf::TfPrompt::FolderExists, out, 4), 3u);
    EXPECT_STREQ(out, "Fol");
    EXPECT_EQ(out[4], kFill);
    EXPECT_EQ(bf::CopyPrompt(bf::BfPrompt::Attention, out, sizeof out), 7u);
    EXPECT_STREQ(out, "Attenti");
    EXPECT_EQ(bf::CopyPrompt(bf::BfPrompt::Attention, out, 1), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(bf::CopyPrompt(bf::BfPrompt::Attention, nullptr, 8), 0u);
    // Prompt numbers outside the byte-frame list have no text.
    EXPECT_EQ(bf::Prompt(27), "");
    EXPECT_EQ(bf::Prompt(-1), "");
}

// The families' ConvertLanguage reloads from tarvix.ini as it is at that moment.
TEST_F(MessagesTest, ConvertLanguageSwitchesBothTables) {
    tf::TextFrame text_frame;
    bf::ByteFrame byte_frame;
    UseLocale(false);
    WriteIni("[INFO]\nlanguage=english\n");
    byte_frame.ConvertLanguage();
    text_frame.ConvertLanguage();
    char buffer[kMessageSlotSize];
    EXPECT_EQ(text_frame.GetErrorMsg(21, buffer), 0);
    EXPECT_STREQ(buffer, "File not existed");
    EXPECT_EQ(bf::Prompt(bf::BfPrompt::UploadFinished), "Finished");

    WriteIni("[INFO]\nlanguage=chinese\n");
    byte_frame.ConvertLanguage();
    text_frame.ConvertLanguage();
    EXPECT_EQ(text_frame.GetErrorMsg(21, buffer), 0);
    EXPECT_EQ(std::string(buffer), Gbk("文件不存在"));
    EXPECT_EQ(byte_frame.GetErrorMsg(21, buffer), 0);
    EXPECT_EQ(std::string(buffer), Gbk("文件不存在"));
    EXPECT_EQ(tf::Prompt(tf::TfPrompt::NoMemory), Gbk("空间不足"));

    WriteIni("[INFO]\nlanguage=chinese\n[chinese_dllmsg]\nMsg0=zero\n");
    byte_frame.ConvertLanguage();
    text_frame.ConvertLanguage();
    EXPECT_EQ(text_frame.GetErrorMsg(0, buffer), 0);
    EXPECT_STREQ(buffer, "zero");
    EXPECT_EQ(byte_frame.GetErrorMsg(1, buffer), 0);
    EXPECT_EQ(std::string(buffer), Gbk("命令被拒绝"));
}

// A worker reading prompts and texts while the language switches back and forth sees every text whole,
// in one language or the other.
TEST_F(MessagesTest, ReadersDuringConvertLanguage) {
    const std::string english = "Attention";
    const std::string chinese = Gbk("提示");
    const std::string en_text = "Can't connected to HC";
    const std::string zh_text = Gbk("不能建立通讯进程");
    NoIni();
    UseLocale(false);
    Load();
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        char buffer[kMessageSlotSize];
        while (!stop.load()) {
            const std::string p = bf::Prompt(bf::BfPrompt::Attention);
            if (p != english && p != chinese) bad.fetch_add(1);
            if (tf::GetErrorMsg(ErrNoLink, buffer) != 0 || (buffer != en_text && buffer != zh_text)) {
                bad.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        UseLocale(i % 2 == 0);
        Load();
    }
    stop.store(true);
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace tarvix
