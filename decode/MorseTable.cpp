#include "decode/MorseTable.h"

#include <cctype>
#include <cstring>

namespace {

// Priors: letters 0, digits a little below (reports, callsigns), common
// punctuation and prosigns below that, the rest lower still.
constexpr double kDigit = -0.7, kCommon = -2.0, kRare = -3.5;

const MorseSymbol kAlphabet[] = {
    {".-", "A", 0},          {"-...", "B", 0},       {"-.-.", "C", 0},       {"-..", "D", 0},
    {".", "E", 0},           {"..-.", "F", 0},       {"--.", "G", 0},        {"....", "H", 0},
    {"..", "I", 0},          {".---", "J", -0.5},    {"-.-", "K", 0},        {".-..", "L", 0},
    {"--", "M", 0},          {"-.", "N", 0},         {"---", "O", 0},        {".--.", "P", 0},
    {"--.-", "Q", -0.3},     {".-.", "R", 0},        {"...", "S", 0},        {"-", "T", 0},
    {"..-", "U", 0},         {"...-", "V", -0.3},    {".--", "W", 0},        {"-..-", "X", -0.3},
    {"-.--", "Y", -0.2},     {"--..", "Z", -0.5},    {"-----", "0", kDigit}, {".----", "1", kDigit},
    {"..---", "2", kDigit},  {"...--", "3", kDigit}, {"....-", "4", kDigit}, {".....", "5", kDigit},
    {"-....", "6", kDigit},  {"--...", "7", kDigit}, {"---..", "8", kDigit}, {"----.", "9", kDigit},
    {".-.-.-", ".", kCommon}, {"--..--", ",", kCommon}, {"..--..", "?", kCommon}, {"-..-.", "/", kCommon},
    {".----.", "'", kRare},  {"-.-.--", "!", kRare}, {"---...", ":", kRare}, {"-.-.-.", ";", kRare},
    {"-....-", "-", kRare},  {"..--.-", "_", kRare}, {".-..-.", "\"", kRare}, {"...-..-", "$", kRare},
    {".--.-.", "@", kRare},  {"-.--.-", ")", kRare},
    // Prosigns; each stands for the punctuation sharing its code (<AR> is
    // also '+', <BT> '=', <KN> '(', <AS> '&').
    {".-.-.", "<AR>", kCommon}, {"-...-", "<BT>", kCommon}, {"...-.-", "<SK>", kCommon},
    {"-.--.", "<KN>", kCommon}, {".-...", "<AS>", kRare},   {"-.-.-", "<KA>", kRare},
    {"...-.", "<SN>", kRare},   {"........", "<HH>", kRare},
};

}  // namespace

const MorseSymbol* MorseAlphabet(int& count) {
  count = static_cast<int>(sizeof kAlphabet / sizeof kAlphabet[0]);
  return kAlphabet;
}

const char* MorseCodeOf(std::string_view text) {
  static const struct {
    const char* text;
    const char* same;
  } kAliases[] = {{"+", "<AR>"}, {"=", "<BT>"}, {"(", "<KN>"}, {"&", "<AS>"}};
  char upper[16];
  if (text.empty() || text.size() >= sizeof upper) return nullptr;
  for (std::size_t i = 0; i < text.size(); ++i) upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
  upper[text.size()] = '\0';
  for (const auto& a : kAliases)
    if (std::strcmp(upper, a.text) == 0) std::strcpy(upper, a.same);
  for (const MorseSymbol& s : kAlphabet)
    if (std::strcmp(upper, s.text) == 0) return s.code;
  return nullptr;
}
