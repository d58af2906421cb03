// The INI profile reader and the configuration on top of it, over a file
// written from the input.
#include "FuzzSupport.h"
#include "config/Config.h"
#include "config/Profile.h"
#include "errors/Exceptions.h"

namespace {

const char* const Keys[] = {"ComNumber",           "ComSettings", "Delimiter",
                            "LocalEcrCommMaxTime", "CodePage",    "ModemDialNumber"};
const char* const Sections[] = {"Common", "ECR_1", "ECR_2", "CommandNumberTranslation"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    const uint8_t choice = input.Byte();
    const std::string ownKey = input.Text(12);
    const std::string content = input.Rest();
    static const fuzz::ScratchFile scratch("profile");
    const std::string& path = scratch.path;
    fuzz::WriteFile(path, content);

    for (const char* section : Sections) {
        bool exists = config::ProfileSectionExists(path, section);
        for (const std::string& key : {std::string(Keys[choice % 6]), ownKey}) {
            std::string value;
            bool found = config::ProfileGetString(path, section, key, value);
            FUZZ_CHECK(value.size() <= config::ProfileValueMaxLength);
            // A key can only be found in a section that holds a line.
            if (found) FUZZ_CHECK(exists);
        }
    }

    const size_t bufferSize = 1 + (choice & 0x3F) * 16u;
    size_t used = 1;
    for (const std::string& name : config::ProfileSectionNames(path, bufferSize)) {
        FUZZ_CHECK(!name.empty());
        used += name.size() + 1;
    }
    FUZZ_CHECK(used <= bufferSize);

    // The configuration as a run loads it.
    Config& config = TheConfig();
    config.SetFile(path, true);
    try {
        int number = FindSingleEcrSection();
        LoadCommonSettings(number);
        config.GetInt("ComNumber", 1);
        config.GetInt(ownKey, -1);
        config.GetString("ComSettings", "");
    } catch (const DriverErrorException&) {
        // No single ECR section, or a missing section: a refused INI file.
    }

    // Rewriting a section keeps it readable with the new lines.
    if (choice & 0x40) {
        FUZZ_CHECK(config::ProfileWriteSection(path, "ECR_1", {"ComNumber = 7", "X = \"" + ownKey + "\""}));
        std::string value;
        FUZZ_CHECK(config::ProfileSectionExists(path, "ECR_1"));
        FUZZ_CHECK(config::ProfileGetString(path, "ECR_1", "ComNumber", value));
    }
    return 0;
}
