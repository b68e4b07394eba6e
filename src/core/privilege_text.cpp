#include "core/privilege_text.h"

namespace vesk::updater {

std::string joinElevationParameters(int argc, const char* const argv[]) {
    std::string parameters;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index] ? argv[index] : "";
        if (index > 1) {
            parameters += ' ';
        }
        if (argument.find(' ') != std::string::npos) {
            parameters += '"';
            parameters += argument;
            parameters += '"';
        } else {
            parameters += argument;
        }
    }
    return parameters;
}

std::string trimTrailingLineBreaks(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::string unknownErrorMessage(std::uint32_t code) {
    return "Unknown error (code: " + std::to_string(code) + ")";
}

} // namespace vesk::updater
