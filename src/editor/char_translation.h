// How the character pane shows a byte and which byte a typed character stores, for each of the
// five translations. Characters are Unicode code points; "ANSI" is Windows-1252, "OEM" CP437.
#pragma once
#include <cstdint>
#include <optional>

enum TTranslationType { ttAnsi, ttDos8, ttASCII, ttMac, ttEBCDIC };

char32_t AnsiChar(uint8_t v);
char32_t OemChar(uint8_t v);
std::optional<uint8_t> AnsiCode(char32_t c);

char32_t DisplayChar(uint8_t v, TTranslationType translation, bool maskWhiteSpaces, char32_t maskChar);
// The byte a typed character stores, or nothing when the character is ignored. With altEntry the
// character is taken as entered by its code on the numeric keypad and stored as its OEM code.
std::optional<uint8_t> TypedByte(char32_t c, TTranslationType translation, bool altEntry);
