// The byte-frame family's prompt texts.  Stand-in with the built-in English texts until the
// message tables are in place.
#pragma once

#include <string>

namespace tarvix::bf {

enum class BfPrompt : int {
    Overwrite = 0,
    Attention = 1,
    BelongsTo = 2,
    DeleteReally = 3,
    NoFolderMemory = 5,
    ErrorCaption = 6,
    OnMemory = 7,
    DbfFormat = 8,
    UploadFail = 10,
    UploadFinished = 11,
    DownloadFail = 12,
    DownloadFinished = 13,
    DeleteFile = 14,
    DelFinish = 17,
    NoMemory = 18,
    FolderMade = 19,
    FolderMakeFail = 20,
    FolderRemoved = 21,
    FolderRemoveFail = 22,
};

inline std::string Prompt(BfPrompt key) {
    switch (key) {
        case BfPrompt::Overwrite: return " existed,overwrite??";
        case BfPrompt::Attention: return "Attention";
        case BfPrompt::BelongsTo: return "File belong to";
        case BfPrompt::DeleteReally: return ",delete really??";
        case BfPrompt::NoFolderMemory: return "Out of memory of HC";
        case BfPrompt::ErrorCaption: return "Error";
        case BfPrompt::OnMemory: return "On memory";
        case BfPrompt::DbfFormat: return ".DBF file format error";
        case BfPrompt::UploadFail: return "Fail";
        case BfPrompt::UploadFinished: return "Finished";
        case BfPrompt::DownloadFail: return "Fail";
        case BfPrompt::DownloadFinished: return "Finished";
        case BfPrompt::DeleteFile: return "Delete file";
        case BfPrompt::DelFinish: return "Del Finish";
        case BfPrompt::NoMemory: return "No memory";
        case BfPrompt::FolderMade: return "Success";
        case BfPrompt::FolderMakeFail: return "Fail";
        case BfPrompt::FolderRemoved: return "Del success";
        case BfPrompt::FolderRemoveFail: return "Del fail";
    }
    return "";
}

}  // namespace tarvix::bf
