// An upload counts as done only when the handheld holds the file: a resent command taken by the
// handheld as the data it announces never names, keeps or overwrites a file; a lost verdict or a lost
// answer to the last frame of a stored file still reports it stored, also when the older file had the
// same size and time (the file then goes once more); a file the handheld never stored fails with one
// code whatever file it held before; a handheld that claims success without the file is caught by the
// size asked after the upload; and the check after the data ends in bounded time whatever the
// handheld sends.  Over the pseudo-terminal and over the USB stand-in, with the handheld's store
// looked at after each case.
#include <algorithm>
#include <chrono>
#include <thread>

#include "sim_fixture.h"

namespace tarvix::tftest {
namespace {

using Kind = hhsim::Fault::Kind;

constexpr const char* kHcName = "\\KELVANHB\\A.DBF";

// The file the handheld held under the name before an upload.
enum class Old { None, OtherSize, SameSizeOtherTime, SameSizeSameStep };
struct OldFile {
    const char* what;
    Old kind;
};

const OldFile kOldFiles[] = {
    {"no older file", Old::None},
    {"an older file of another size", Old::OtherSize},
    {"an older file of the same size and another time", Old::SameSizeOtherTime},
    {"an older file of the same size and time step", Old::SameSizeSameStep},
};

class UploadCheckTest : public SimTest {
  protected:
    void StartSerial(hhsim::Config config = {}) {
        StartSim(1, config);
        fs::create_directories(Store() / "KELVANHB");
    }

    fs::path HcFile() const { return Store() / "KELVANHB" / "A.DBF"; }

    // Everything the handheld holds, folders with a trailing '/', in order.
    std::vector<std::string> StoreEntries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(Store())) {
            std::string name = fs::relative(e.path(), Store()).generic_string();
            if (e.is_directory()) name += '/';
            names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // The handheld's folder back to just the one file, or to nothing.
    void ResetStore(const Bytes* old_content) {
        fs::remove_all(Store() / "KELVANHB");
        fs::create_directories(Store() / "KELVANHB");
        if (old_content != nullptr) WriteFile(HcFile(), *old_content);
    }

    int Fired() const { return sim_->Counter("fault"); }

    struct Outcome {
        int32_t result = -1;
        int32_t code = 0;
        Bytes held;     // what the handheld holds under the name afterwards
        int sends = 0;  // upload commands the handheld took
    };

    // What the handheld holds under the name before an upload of `content` with an older file of `kind`.
    static Bytes OldContent(const Bytes& content, Old kind) {
        if (kind == Old::None) return {};
        return kind == Old::OtherSize ? RandomBytes(40, 101) : RandomBytes(content.size(), 102);
    }

    // Puts the older file of `kind` in place (a same-size one an hour old; one in the same time step
    // keeps its time through the upload, by the KeepTime fault added to `faults`), uploads `content`
    // from A.DBF with overwrite mode 1 and tells what came of it.
    Outcome Upload(const Bytes& content, Old kind, std::vector<hhsim::Fault> faults) {
        const Bytes old = OldContent(content, kind);
        ResetStore(kind == Old::None ? nullptr : &old);
        if (kind == Old::SameSizeOtherTime || kind == Old::SameSizeSameStep)
            fs::last_write_time(HcFile(), fs::file_time_type::clock::now() - std::chrono::hours(1));
        if (kind == Old::SameSizeSameStep) faults.push_back(hhsim::MakeFault(Kind::KeepTime, 80, 2));
        WriteFile(work_ / "A.DBF", content);
        hhsim::FaultPlan plan;
        plan.faults = std::move(faults);
        sim().SetPlan(plan);
        tf::Status().last_error.store(0);
        const int sends = sim().Counter("command:80/2");
        Outcome out;
        out.result = SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1);
        out.code = GetLastErrCode();
        out.held = fs::exists(HcFile()) ? ReadFile(HcFile()) : Bytes{};
        out.sends = sim().Counter("command:80/2") - sends;
        Plan({});
        return out;
    }
};

const std::vector<std::string> kOnlyTheFile{"KELVANHB/", "KELVANHB/A.DBF"};

// The handheld takes the name command, its answer is refused or lost, and it takes the repeated
// packet as the name: the file must still land under its own name (or be kept, in mode 0), and
// nothing under the packet's bytes.
TEST_F(UploadCheckTest, RepeatedNameCommandNeverNamesTheFile) {
    StartSerial();
    const Bytes old_content = RandomBytes(40, 1);
    const Bytes content = RandomBytes(700, 2);
    WriteFile(work_ / "A.DBF", content);
    struct Case {
        const char* what;
        int answer;  // DamageAnswer value: 0 lost, 1 refused
        bool old_file;
        int32_t mode;
        bool replaced;
    };
    for (const Case& c :
         {Case{"refused answer, new file", 1, false, 1, true},
          Case{"lost answer, new file", 0, false, 1, true},
          Case{"refused answer, overwrite", 1, true, 1, true},
          Case{"lost answer, overwrite", 0, true, 1, true}, Case{"refused answer, keep", 1, true, 0, false},
          Case{"lost answer, keep", 0, true, 0, false}}) {
        SCOPED_TRACE(c.what);
        ResetStore(c.old_file ? &old_content : nullptr);
        const int fired = Fired();
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 1, 1, 1, c.answer),
              hhsim::MakeFault(Kind::ResentAsData, 80, 1)});
        EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, c.mode), 0) << "error " << GetLastErrCode();
        EXPECT_EQ(Fired() - fired, 2) << "the repeated packet was not taken as the name";
        EXPECT_EQ(ReadFile(HcFile()), c.replaced ? content : old_content);
        EXPECT_EQ(StoreEntries(), kOnlyTheFile);
        Plan({});
    }
}

// The same hazard for the other commands that the handheld follows with data: the folder of a
// folder command, the message file, and the upload command itself (the file's data).
TEST_F(UploadCheckTest, RepeatedCommandsBeforeOtherData) {
    StartSerial();
    const Bytes old_content = RandomBytes(40, 3);
    const Bytes content = RandomBytes(900, 4);
    WriteFile(work_ / "A.DBF", content);
    for (int answer : {0, 1}) {
        SCOPED_TRACE(answer == 0 ? "lost answer" : "refused answer");

        ResetStore(nullptr);
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 11, 1, 1, answer),
              hhsim::MakeFault(Kind::ResentAsData, 80, 11)});
        EXPECT_EQ(HcMakeDir(0, 0, "\\KELVANHB\\NEW"), 0) << "error " << GetLastErrCode();
        EXPECT_EQ(StoreEntries(), (std::vector<std::string>{"KELVANHB/", "KELVANHB/NEW/"}));

        ResetStore(&old_content);
        const int fired = Fired();
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 2, 1, 1, answer),
              hhsim::MakeFault(Kind::ResentAsData, 80, 2)});
        EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 0) << "error " << GetLastErrCode();
        EXPECT_EQ(Fired() - fired, 1) << "the upload command went twice";
        EXPECT_EQ(ReadFile(HcFile()), content);
        EXPECT_EQ(StoreEntries(), kOnlyTheFile);

        Bytes message = RandomBytes(48, 5 + answer);
        WriteFile(work_ / "msg.bin", message);
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 34, 1, 1, answer),
              hhsim::MakeFault(Kind::ResentAsData, 80, 34)});
        EXPECT_EQ(SendMsgToHc(0, 0, ".\\msg.bin"), 0) << "error " << GetLastErrCode();
        Plan({});
        ASSERT_EQ(GetHcMsg(0, 0, ".\\back.msg"), 0);
        EXPECT_EQ(ReadFile(work_ / "back.msg"), message);
    }
}

// The file arrived whole but the verdict or the answer to its last frame did not: reported stored,
// whatever file the handheld held before.  An entry that still shows the older file's size and time
// step cannot tell, and the file goes once more.
TEST_F(UploadCheckTest, StoredFileWithALostVerdictIsReportedStored) {
    StartSerial();
    const Bytes content = RandomBytes(700, 8);
    struct Case {
        const char* what;
        hhsim::Fault fault;
    };
    for (const Case& c :
         {Case{"upload end answer lost", hhsim::MakeFault(Kind::DamageAnswer, 16, 0, 1, 3, 0)},
          Case{"upload end answer refused", hhsim::MakeFault(Kind::DamageAnswer, 16, 0, 1, 3, 1)},
          Case{"verdict naming another command", hhsim::MakeFault(Kind::WrongEcho, 16, 0)},
          Case{"verdict of one byte", hhsim::MakeFault(Kind::ShortStatus, 16, 0)},
          Case{"last frame answer lost", hhsim::MakeFault(Kind::DamageLastAnswer, 80, 2, 1, 3, 0)},
          Case{"last frame answer refused", hhsim::MakeFault(Kind::DamageLastAnswer, 80, 2, 1, 3, 1)}}) {
        for (const OldFile& old : kOldFiles) {
            SCOPED_TRACE(std::string(c.what) + ", " + old.what);
            const int fired = Fired();
            const Outcome out = Upload(content, old.kind, {c.fault});
            EXPECT_EQ(out.result, 0) << "error " << out.code;
            EXPECT_GE(Fired() - fired, 1);
            EXPECT_EQ(out.held, content);
            EXPECT_EQ(out.sends, old.kind == Old::SameSizeSameStep ? 2 : 1);
            EXPECT_EQ(StoreEntries(), kOnlyTheFile);
            EXPECT_EQ(thrdQueryStatus(), StatusIdle);
        }
    }
}

// The handheld never stores the file, also not when it goes once more: the upload fails with one
// code, whatever file the handheld held before and whatever it claimed, and that file stays as it
// was.  Without the answer to the last frame that code is the send's; after a complete send it is
// the upload end's.  (An older file of the same time step looks the same here as one of another
// time: nothing changes it.)  A handheld that claims success for a complete send without the file is
// caught by its entry.
TEST_F(UploadCheckTest, FileNotStoredIsNeverReportedStored) {
    StartSerial();
    const Bytes content = RandomBytes(700, 10);
    // Occurrences of 80/2 on the line: the command packet, frames 1 and 2, the last frame and its two
    // repeats; a second send's are 7 to 12.
    const hhsim::Fault last_refused = hhsim::MakeFault(Kind::Nak, 80, 2, 4, 3);
    const hhsim::Fault second_last_refused = hhsim::MakeFault(Kind::Nak, 80, 2, 10, 3);
    struct Case {
        const char* what;
        std::vector<hhsim::Fault> faults;
        int32_t code;
        bool final_word;  // the handheld refused the upload end: nothing is sent again
    };
    const Case cases[] = {
        {"last frame never taken, verdict says stored",
         {last_refused, second_last_refused, hhsim::MakeFault(Kind::WrongStatus, 16, 0, 1, 1, 0)},
         ErrSendFail,
         false},
        {"last frame never taken, verdict lost",
         {last_refused, second_last_refused, hhsim::MakeFault(Kind::Nak, 16, 0, 1, 3)},
         ErrSendFail,
         false},
        {"last frame never taken, verdict refused", {last_refused}, ErrSendFail, true},
        {"last frame taken without an answer, data dropped, verdict says stored",
         {hhsim::MakeFault(Kind::DamageLastAnswer, 80, 2, 1, 6, 1),
          hhsim::MakeFault(Kind::DropUpload, 80, 2, 1, 2)},
         ErrSendFail,
         false},
        {"every frame taken, data dropped, verdict lost",
         {hhsim::MakeFault(Kind::DropUpload, 80, 2, 1, 2), hhsim::MakeFault(Kind::Nak, 16, 0, 1, 6)},
         ErrOperation,
         false},
        {"every frame taken, data dropped, verdict refused",
         {hhsim::MakeFault(Kind::DropUpload, 80, 2), hhsim::MakeFault(Kind::WrongStatus, 16, 0, 1, 1, 1)},
         ErrOperation,
         true},
    };
    for (const Case& c : cases) {
        for (const Old kind : {Old::None, Old::OtherSize, Old::SameSizeOtherTime}) {
            SCOPED_TRACE(std::string(c.what) + ", " + kOldFiles[static_cast<int>(kind)].what);
            const Outcome out = Upload(content, kind, c.faults);
            EXPECT_EQ(out.result, 1);
            EXPECT_EQ(out.code, c.code);
            EXPECT_EQ(out.held, OldContent(content, kind));
            EXPECT_EQ(out.sends, kind == Old::SameSizeOtherTime && !c.final_word ? 2 : 1);
            EXPECT_EQ(StoreEntries(),
                      kind == Old::None ? std::vector<std::string>{"KELVANHB/"} : kOnlyTheFile);
            EXPECT_EQ(thrdQueryStatus(), StatusFailed);
        }
    }

    // Every frame taken and success claimed, but the handheld had no folder to put it in.
    ResetStore(nullptr);
    Plan({hhsim::MakeFault(Kind::WrongStatus, 16, 0, 1, 1, 0)});
    EXPECT_EQ(SendFileToHc(0, 0, "\\NOFOLDER\\A.DBF", ".\\A.DBF", 0, 1), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(StoreEntries(), std::vector<std::string>{"KELVANHB/"});
}

// An entry that still shows the older file of the same size and time: the file goes once, and only
// once, more; the upload is done when that send goes through whole and is answered 0, and fails with
// the path's one code otherwise, also where the first send had stored it (nothing then tells).
TEST_F(UploadCheckTest, AnUnchangedEntryIsSettledBySendingAgain) {
    StartSerial();
    const Bytes content = RandomBytes(700, 12);
    struct Case {
        const char* what;
        Old old;
        std::vector<hhsim::Fault> faults;
        int32_t result;
        int32_t code;
        bool stored;
    };
    const Case cases[] = {
        {"data dropped once, last frame unanswered, verdict says stored",
         Old::SameSizeOtherTime,
         {hhsim::MakeFault(Kind::DamageLastAnswer, 80, 2, 1, 3, 1),
          hhsim::MakeFault(Kind::DropUpload, 80, 2)},
         0,
         0,
         true},
        {"data dropped once, verdict lost",
         Old::SameSizeOtherTime,
         {hhsim::MakeFault(Kind::DropUpload, 80, 2), hhsim::MakeFault(Kind::Nak, 16, 0, 1, 3)},
         0,
         0,
         true},
        {"stored in the old time step, every verdict lost",
         Old::SameSizeSameStep,
         {hhsim::MakeFault(Kind::Nak, 16, 0, 1, 6)},
         1,
         ErrOperation,
         true},
        {"stored in the old time step, the second send's last frame unanswered",
         Old::SameSizeSameStep,
         {hhsim::MakeFault(Kind::DamageLastAnswer, 80, 2, 1, 6, 1)},
         1,
         ErrSendFail,
         true},
        {"the second send refused",
         Old::SameSizeOtherTime,
         {hhsim::MakeFault(Kind::DropUpload, 80, 2), hhsim::MakeFault(Kind::Nak, 16, 0, 1, 3),
          hhsim::MakeFault(Kind::WrongStatus, 80, 2, 2, 1, 1)},
         1,
         ErrOperation,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome out = Upload(content, c.old, c.faults);
        EXPECT_EQ(out.result, c.result);
        if (c.result != 0) {
            EXPECT_EQ(out.code, c.code);
        }
        EXPECT_EQ(out.held, c.stored ? content : OldContent(content, c.old));
        EXPECT_EQ(out.sends, 2);
        EXPECT_EQ(StoreEntries(), kOnlyTheFile);
        EXPECT_EQ(thrdQueryStatus(), c.result == 0 ? StatusIdle : StatusFailed);
    }
}

// In the background the same check decides the status the worker leaves.
TEST_F(UploadCheckTest, BackgroundUploadIsChecked) {
    hhsim::Config config;
    config.forced_status["16/0"] = 0;
    StartSerial(config);
    const Bytes content = RandomBytes(3000, 11);
    WriteFile(work_ / "A.DBF", content);
    Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 1, 1, 1, 0), hhsim::MakeFault(Kind::ResentAsData, 80, 1)});
    ASSERT_EQ(thrdSendFileToHc(0, 0, kHcName, ".\\A.DBF", 1, 1), 0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(ReadFile(HcFile()), content);
    EXPECT_EQ(StoreEntries(), kOnlyTheFile);

    Plan({});
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\NOFOLDER\\A.DBF", ".\\A.DBF", 1, 1), 0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_EQ(StoreEntries(), kOnlyTheFile);
}

// A package's run names its folder and MIF file to the handheld: a repeated command taken as either
// name must not run anything under the packet's bytes.
TEST_F(UploadCheckTest, PackageRunNamesSurviveARepeatedCommand) {
    StartSerial();
    fs::create_directories(Store() / "APPS");
    fs::create_directories(work_ / "pkg");
    WriteFile(work_ / "pkg" / "a.exe", RandomBytes(300, 14));
    const std::string mif = "[send]\r\nhcpath=\\APPS\r\napplication=a.exe\r\nautorun=1\r\n";
    WriteFile(work_ / "pkg" / "run.mif", Bytes(mif.begin(), mif.end()));
    struct Case {
        const char* what;
        int sub;
        int at;  // the occurrence of the command that the run sends
    };
    // Name commands before the run: the package folder's look-up and the two uploads.
    for (const Case& c : {Case{"folder", 11, 1}, Case{"MIF name", 1, 4}}) {
        SCOPED_TRACE(c.what);
        sim().ClearRecords();
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, c.sub, c.at, 1, 0),
              hhsim::MakeFault(Kind::ResentAsData, 80, c.sub)});
        ASSERT_EQ(thrdSendMifToHc(0, 0, ".\\pkg\\run.mif", 0, 1), 0);
        WaitWorker();
        EXPECT_EQ(thrdQueryStatus(), StatusIdle) << GetLastErrCode();
        EXPECT_TRUE(sim().WaitEvent("run:\\APPS\\|run.mif", std::chrono::seconds(2)));
        std::vector<std::string> runs;
        for (const std::string& e : sim().Events()) {
            if (e.rfind("run:", 0) == 0) runs.push_back(e);
        }
        EXPECT_EQ(runs, std::vector<std::string>{"run:\\APPS\\|run.mif"});
        EXPECT_EQ(Fired(), 2) << "the repeated packet was not taken as the name";
        EXPECT_EQ(ReadFile(Store() / "APPS" / "a.exe"), ReadFile(work_ / "pkg" / "a.exe"));
    }
    Plan({});
}

// Over USB no block has an answer of its own: the verdict after the data, and where it is damaged
// the entry or one more send, decide.
TEST_F(UploadCheckTest, OverUsbTheVerdictAndTheEntryDecide) {
    StartUsbSim(4);
    const Bytes content = RandomBytes(10000, 12);
    // A damaged verdict of a stored file, whatever file the handheld held before.
    for (const OldFile& old : kOldFiles) {
        SCOPED_TRACE(std::string("stored, ") + old.what);
        const Outcome out = Upload(content, old.kind, {hhsim::MakeFault(Kind::WrongEcho, 16, 0)});
        EXPECT_EQ(out.result, 0) << "error " << out.code;
        EXPECT_EQ(out.held, content);
        EXPECT_EQ(out.sends, old.kind == Old::SameSizeSameStep ? 2 : 1);
        EXPECT_EQ(StoreEntries(), kOnlyTheFile);
    }
    // A damaged verdict of a file never stored, also not when it goes once more: the upload end's code.
    for (const Old kind : {Old::None, Old::OtherSize, Old::SameSizeOtherTime}) {
        SCOPED_TRACE(std::string("not stored, ") + kOldFiles[static_cast<int>(kind)].what);
        const Outcome out = Upload(content, kind,
                                   {hhsim::MakeFault(Kind::DropUpload, 80, 2, 1, 2),
                                    hhsim::MakeFault(Kind::ShortStatus, 16, 0, 1, 2)});
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(out.code, static_cast<int32_t>(ErrOperation));
        EXPECT_EQ(out.held, OldContent(content, kind));
        EXPECT_EQ(out.sends, kind == Old::SameSizeOtherTime ? 2 : 1);
    }
    // Dropped once with a damaged verdict: the second send stores it.
    {
        SCOPED_TRACE("dropped once");
        const Outcome out =
            Upload(content, Old::SameSizeOtherTime,
                   {hhsim::MakeFault(Kind::DropUpload, 80, 2), hhsim::MakeFault(Kind::WrongEcho, 16, 0)});
        EXPECT_EQ(out.result, 0) << "error " << out.code;
        EXPECT_EQ(out.held, content);
        EXPECT_EQ(out.sends, 2);
    }
    // Success claimed for a file the handheld could not store, in the foreground and the background.
    hhsim::FaultPlan claimed;
    claimed.faults = {hhsim::MakeFault(Kind::WrongStatus, 16, 0, 1, 2, 0)};
    sim().SetPlan(claimed);
    EXPECT_EQ(SendFileToHc(0, 0, "\\NOFOLDER\\A.DBF", ".\\A.DBF", 0, 1), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    tf::Status().last_error.store(0);
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\NOFOLDER\\A.DBF", ".\\A.DBF", 1, 1), 0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_EQ(StoreEntries(), kOnlyTheFile);
}

// The check after the data ends in bounded time whatever the handheld does.  Silent from the upload
// end or from the last frame on, the upload fails within 20 of the family's answer waits (20 s at
// the library's own waits of 1 s), after the last frame's own three waits where that went
// unanswered.  A handheld that answers every wait just inside it would confirm the file only after
// many waits: the check's time limit (20 s by default, here cut to 3 waits) ends it first, over the
// line and over USB.
TEST_F(UploadCheckTest, TheCheckAfterTheDataEndsInBoundedTime) {
    const uint32_t wait = 100 * kWaitScale;
    tf::Timing timing = TestTiming();
    timing.default_timeout_ms = wait;
    timing.status_reply_timeout_ms = wait;
    timing.link_test_timeout_ms = wait;
    timing.byte_timeout_ms = wait / 2;
    const int late_ms = static_cast<int>(wait / 2);
    const int a_minute = 60000;
    struct Case {
        const char* what;
        bool usb;
        size_t size;
        Old old;
        std::vector<hhsim::Fault> faults;
        const char* event;  // the handheld's event where the check's time starts to run
        uint32_t limit;     // the check's time limit, in waits
        int32_t result;
        int32_t code;
        bool stored;       // the handheld holds the file, confirmed or not
        uint32_t at_most;  // waits from the event to the call's end
        uint32_t at_least;
    };
    const std::vector<hhsim::Fault> silent_from_the_end = {
        hhsim::MakeFault(Kind::Mute, 16, 0, 1, 1, a_minute)};
    const std::vector<hhsim::Fault> silent_from_the_last = {
        hhsim::MakeFault(Kind::Mute, 80, 2, 2, 1, a_minute)};
    // The first send's last frame is refused and the entry still shows the older file's size and time
    // step, so the check sends the file again; from the upload end on every answer comes late.
    const std::vector<hhsim::Fault> late = {hhsim::MakeFault(Kind::DamageLastAnswer, 80, 2, 1, 3, 1),
                                            hhsim::MakeFault(Kind::LateAnswers, 16, 0, 1, 1, late_ms)};
    const Case cases[] = {
        // what, USB, size, older file, faults, event, limit, result, code, stored, at most, at least
        {"silent from the upload end on", false, 700, Old::None, silent_from_the_end, "muted-from:command",
         20, 1, ErrOperation, true, 20, 0},
        // One frame, its own three waits before the check.
        {"silent from the last frame on", false, 200, Old::None, silent_from_the_last, "muted-from:data", 20,
         1, ErrSendFail, false, 3 + 20, 0},
        {"answers just inside the waits, the limit cut to 3 waits", false, 700, Old::SameSizeSameStep, late,
         "late-from:command", 3, 1, ErrSendFail, true, 3 + 2, 0},
        {"the same handheld within the whole limit", false, 700, Old::SameSizeSameStep, late,
         "late-from:command", 20, 0, 0, true, 20, 3 + 2},
        {"USB, silent from the upload end on, the limit cut to 3 waits", true, 700, Old::None,
         silent_from_the_end, "muted-from:command", 3, 1, ErrOperation, true, 3 + 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        timing.upload_check_ms = c.limit * wait;
        tf::SetTiming(timing);
        if (c.usb) {
            StartUsbSim(4);
            // Each reply of the driver alone would outlast the limit.
            platform::usb::SetReplyTimeoutMs(4 * wait);
        } else {
            StartSerial();
        }
        const Bytes content = RandomBytes(c.size, 21);
        using Steady = std::chrono::steady_clock;
        Steady::time_point began{};
        std::thread watch([&] {
            if (sim().WaitEvent(c.event, std::chrono::seconds(30))) began = Steady::now();
        });
        const Outcome out = Upload(content, c.old, c.faults);
        const Steady::time_point ended = Steady::now();
        watch.join();
        EXPECT_EQ(out.result, c.result) << "error " << out.code;
        if (c.result != 0) {
            EXPECT_EQ(out.code, c.code);
        }
        EXPECT_EQ(out.held, c.stored ? content : OldContent(content, c.old));
        ASSERT_NE(began, Steady::time_point{}) << "the handheld never reached " << c.event;
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(ended - began).count();
        EXPECT_LE(spent, static_cast<int64_t>(c.at_most * wait));
        EXPECT_GE(spent, static_cast<int64_t>(c.at_least * wait));
        ComRelease();
        sim().Stop();
    }
}

}  // namespace
}  // namespace tarvix::tftest
