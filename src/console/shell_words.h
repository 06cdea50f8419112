// Quoting of untrusted words (file names, operator entries) for /bin/sh.
#pragma once

#include <string>
#include <string_view>

// Returns `word` unchanged when it is made only of letters, digits and
// . _ - / : + , = @ (and is not empty); otherwise the word in single quotes,
// each ' written as '\''. The shell then passes it as one argument and
// interprets none of its characters.
std::string shell_quote(std::string_view word);

// `text` without its leading and trailing blanks (spaces and tabs).
std::string_view trim_blanks(std::string_view text);
