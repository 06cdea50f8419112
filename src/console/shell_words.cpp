#include "console/shell_words.h"

namespace {

bool plain_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-' || c == '/' || c == ':' || c == '+' || c == ',' ||
           c == '=' || c == '@';
}

}  // namespace

std::string shell_quote(std::string_view word) {
    bool plain = !word.empty();
    for (char c : word) plain = plain && plain_char(c);
    if (plain) return std::string(word);
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string_view trim_blanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}
