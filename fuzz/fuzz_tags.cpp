// The tag plug-in (bin/plugins/idtagger) reading arbitrary files through its table, as -SHOWID
// and -COPYID use it: the first byte picks the file type by extension, the rest is the file.
// A file that was read is also written back with a changed title, through the plug-in's copy.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_files.h"
#include "kernova/tagger.h"
#include "platform/platform.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

namespace {

constexpr const char *kExtensions[] = {"mp3", "wav", "aiff", "flac", "ogg", "opus"};
constexpr int kLastField = 12;

void TraceEnter(const char *, const char *) {}
void TraceLeave() {}

// The table with the core's routines in their slots, as the core lends them after loading.
TagTable &Table() {
    static TagTable *table = [] {
        std::string path = std::string(KN_BIN_DIR) + "/plugins/idtagger" + platform::kLibrarySuffix;
        platform::LibraryHandle library = platform::LoadLibrary(path.c_str());
        auto entry = library ? reinterpret_cast<zorvGetTagModuleFunc>(
                                   platform::GetExport(library, "zorvGetTagModule"))
                             : nullptr;
        TagTable *found = entry ? entry() : nullptr;
        if (found == nullptr)
            std::abort();
        found->libraryHandle = library;
        found->GetTrim = GetTrim;
        found->GetFileExtension = GetFileExtension;
        found->AssignString = AssignString;
        found->AddStr = AddStr;
        found->TraceEnter = TraceEnter;
        found->TraceLeave = TraceLeave;
        return found;
    }();
    return *table;
}

void ReadEveryField(TagTable &table) {
    for (int kind : {TAG_KIND_V1, TAG_KIND_V2}) {
        table.HasTag(kind);
        for (int field = 0; field <= kLastField; field++) {
            char *text = nullptr;
            table.GetTagField(&text, field, kind);
            table.FreeTagText(&text);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return -1;
    TagTable &table = Table();
    std::string name = std::string("tagged.") + kExtensions[data[0] % std::size(kExtensions)];
    std::string file = knfuzz::WriteInput(name, data + 1, size - 1);
    table.ClearTags();
    if (table.GetTagFileType(file.c_str()) == 0 || !table.ReadTags(file.c_str()))
        return 0;
    ReadEveryField(table);
    table.CopyTagContents(TAG_KIND_V2);
    if (table.SetTagFields("idv1|idv2: TITL=fuzz", 1))
        table.WriteTags(file.c_str(), 1, 1);
    return 0;
}
