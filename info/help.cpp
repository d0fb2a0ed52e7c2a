// -HELP and -HELPENC: the help texts of the keys and the help that an encoder gives about its
// own parameters.
#include <cstdint>
#include <cstdio>

#include "cmdline/CommandRecord.h"
#include "cmdline/keys.h"
#include "convert/QZ_Convertor.h"
#include "info/info.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "state/host_table.h"
#include "support/All_Func.h"

// Indexed by the help topic of each key; each text opens with the key and its argument form.
const char *const kHelpTexts[20] = {
    // 0
    " -I <file name>; -O <file name>\n"
    "\n"
    " Sets the input and the output file name. Wildcards can be used in file names\n"
    " only, not in folder names. When the input has a wildcard extension, only the\n"
    " file types for which codecs are present are selected.\n"
    "\n"
    " Example : -I source.mp3 -O outfile.wav -ENC Solmare\n"
    "           -I /music/*.mp3 -O /out/*.wav -ENC Solmare\n"
    "           -I /music/*.* -SHOWID",
    // 1
    " -DELSOURCE\n"
    "\n"
    " Deletes the source file, but only after a successful conversion. Works in\n"
    " conversion mode only (also when a batch file is created).\n"
    "\n"
    " Example : -I source.wav -O outfile.mp3 -ENC Brevant -DELSOURCE",
    // 2
    " -RECURSIVE [copy]\n"
    "\n"
    " Works in conversion and ID tags review modes. Without copy the source folder\n"
    " and all its sub-folders are scanned with the source wildcard and the output\n"
    " files are named after the source files. With copy the folder structure of the\n"
    " source is reproduced in the output folder.\n"
    "\n"
    " Example : -I /music/*.wav -O /out/*.mp3 -ENC Brevant -RECURSIVE\n"
    "           -I /music/*.wav -O /out/*.mp3 -ENC Brevant -RECURSIVE copy\n",
    // 3
    " -BATCH <batch file>\n"
    "\n"
    " Batch conversion mode. A file created with -CREATEBATCH command is used as\n"
    " a source file for -BATCH command. File name wildcard usage is enabled.\n"
    "\n"
    " Example : -BATCH batchfile.dbt\n"
    "           -BATCH /my_batch_files/*.dbt",
    // 4
    " -CREATEBATCH <batch file>\n"
    "\n"
    " Creates a batch file instead of converting. Wildcards cannot be used in the\n"
    " batch file name. Run the created file with -BATCH command.\n"
    "\n"
    " Example : -I /music/*.* -O /out/*.mp3 -ENC Brevant -CREATEBATCH batch.dbt",
    // 5
    " -ENC <encoder name>\n"
    "\n"
    " Forces the encoder. Without -ENC the default encoder for the output file\n"
    " extension is used. The list of encoders is shown by -LISTENC command.\n"
    "\n"
    " Example : -I source.mp3 -O outfile.wav -ENC Solmare",
    // 6
    " -ENCPARAM <encoder parameters string>\n"
    "\n"
    " Sets the encoder parameters. Without -ENCPARAM the default settings are used.\n"
    " -HELPENC command tells the parameters of each encoder.\n"
    "\n"
    " Example : -I source.mp3 -O outfile.wav -ENC Solmare -ENCPARAM f:22050 c:1 b:16",
    // 7
    " -TESTENC\n"
    "\n"
    " Converts a source file with every test parameter set of the encoder into a\n"
    " folder. Wildcards cannot be used. -O names the folder.\n"
    "\n"
    " Example : -I test.wav -O /test/Brevant/ -ENC Brevant -TESTENC",
    // 8
    " -LISTENC; -LISTDEC\n"
    "\n"
    " Lists all encoders or decoders. With -LISTDEC a WinAMP plugins folder can be\n"
    " given with -WINAMP; it is scanned for plugins to use with Kernova.\n"
    "\n"
    " Example : -LISTENC\n"
    "           -LISTDEC -WINAMP \"/opt/Win Amp\"",
    // 9
    " -HELPENC <encoder name>\n"
    "\n"
    " Shows help file for selected compression module.\n"
    "\n"
    " Example : -HELPENC Solmare",
    // 10
    " -COPYID <source:destination>\n"
    "\n"
    " Copies ID tags from the source file to the output file. Works in conversion\n"
    " mode only. The default argument is A:A.\n"
    " 1 - ID v1.1, 2 - ID v2.x and A - ID v1.1 and ID v2.x\n"
    "\n"
    " Example : -I source.wma -O outfile.mp3 -ENC Brevant -COPYID\n",
    // 11
    " -SETID [safe] <id version>: <field=argument> [<field=argument> [...]]\n"
    "\n"
    " Sets ID tags. Without safe the file's whole tag of each version written is\n"
    " replaced: the fields not given, the cover and every other frame are lost.\n"
    " With safe only the given fields change and the rest of the tag is kept.\n"
    "\n"
    " Id versions : idv1 - ID v1.1, idv2 - ID v2.x, id - all versions\n"
    "\n"
    " Fields : TITL - Title\n"
    "          AUTH - Artist\n"
    "          ALBM - Album/CD name\n"
    "          YEAR - Year\n"
    "          GENR - Genre\n"
    "          COMT - Comments/copyright\n"
    "          TRCK - Track Number\n"
    "          ORIG - Original Artist/Lead Artist\n"
    "          URLC - URL (Copyright URL)\n"
    " ORIG and URLC are not supported in version 1.x.\n"
    "\n"
    " Example : -I source.wav -O outfile.mp3 -ENC Brevant -SETID id: TITL=Title\n"
    "           -I source.mp3 -SETID safe idv2: AUTH=Artist URLC=http://www.example.com",
    // 12
    " -SHOWID\n"
    "\n"
    " Shows ID tags information of selected file.\n"
    "\n"
    " Example : -I sourcefile.mp3 -SHOWID",
    // 13
    " -CPU <value>\n"
    "\n"
    " Set process priority. Value can be from 0 to 5 (0 - highest priority).\n"
    "\n"
    " Example : -CPU 3",
    // 14
    " -FIXFREQ <value>\n"
    "\n"
    " Fixes sample rates that the output settings cannot take, between the families\n"
    " 8, 16, 32, 48 kHz and 11, 22, 44 kHz.\n"
    " 0 - only warns (default)\n"
    " 1 - changes to the nearest correct rate\n"
    " 2 - changes to the source rate\n"
    " 3 - always sets the output rate to the source rate\n"
    "\n"
    " Example : -FIXFREQ 2",
    // 15
    " -PLAY\n"
    "\n"
    " Play input audio file.\n"
    "\n"
    " Example : -i test.wav -PLAY",
    // 16
    " -DECPARAM <decoder parameters string>\n"
    "\n"
    " Sets the decoder parameters. Without -DECPARAM the default settings are used.\n"
    "\n"
    " Example : -I source.ac3 -O outfile.wav -DECPARAM m:ds a:150\n"
    "           -I source.vob -O outfile.wav -DECPARAM s:1 m:st a:100 p:DeCSS\n",
    // 17
    " -DEC <decoder name>\n"
    "\n"
    " Sets the decoder for converted/played file\n"
    "\n"
    " If you want to use WinAMP plugin, then use [:] prefix\n"
    "\n"
    " Example : \n"
    "\n"
    " -I source.mp3 -DEC Tenquil -PLAY\n"
    " -I source.mp3 -DEC :in_mp3 -PLAY\n",
    // 18
    " -PREVIEW <secounds>\n"
    "\n"
    " Sets the maximum secound limit in convert/play mode\n"
    "\n"
    " Example : \n"
    "\n"
    " -I source.mp3 -o *.wma -PREVIEW 30\n",
    // 19
    " -WINAMP <plugins folder>\n"
    "\n"
    " Sets the WinAMP folder for using WinAMP decoders.\n"
    "\n"
    " Example : -I source.mp3 -o *.wma -WINAMP \"/opt/Win Amp\" -DEC in_mp3\n",
};

namespace {

constexpr int kHelpTopicCount = sizeof(kHelpTexts) / sizeof(kHelpTexts[0]);

void ReportUnknownTopic() {
    std::printf("Unknown argument for help command\n\n");
    GetHostTable().onUnknownKey();
}

} // namespace

void HelpJob(CommandRecord *record) {
    HostCallbacks &host = GetHostTable();
    if (!record || !record->helpArg) {
        host.onUnknownKey();
        return;
    }
    char *key = nullptr;
    AssignString("-", &key);
    AddStr(&key, record->helpArg);
    const int index = FindKey(key);
    FreeString(&key);
    if (index < 0 || index >= kKeyCount) {
        ReportUnknownTopic();
        return;
    }
    const int topic = kKeyTable[index].helpTopic;
    if (topic < 0 || topic >= kHelpTopicCount) {
        std::printf("No additional help for this command available.\n");
        return;
    }
    host.onMessage(KN_MSG_KEY_HELP, reinterpret_cast<intptr_t>(kHelpTexts[topic]));
    std::printf("\n\n");
}

void EncoderHelpJob(CommandRecord *record) {
    TakeCallbackCopies();
    const char *encoderName = record ? record->encoderName : nullptr;
    char *text = GetEncoderHelpText(encoderName);
    if (text) {
        std::printf("%s\n", text);
        FreeString(&text);
        return;
    }
    converterState.onMessage(KN_MSG_ENCODER_HELP_FAILED, reinterpret_cast<intptr_t>(encoderName));
}

char *GetEncoderHelpText(const char *encoderName) {
    if (!LoadOutModule(encoderName))
        return nullptr;
    char *text = nullptr;
    if (currentOutModule && currentOutModule->GetHelpText)
        AssignString(currentOutModule->GetHelpText(), &text);
    UnloadOutModule();
    return text;
}
