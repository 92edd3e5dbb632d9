// The error the hex editor raises to its caller; the text is shown to the user as it is.
#pragma once
#include <stdexcept>
#include <string>

class EHexEditorError : public std::runtime_error {
public:
    explicit EHexEditorError(const std::string &text) : std::runtime_error(text) {}
};
