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

namespace {

// The usual words of a QSO: calls, reports, Q codes, abbreviations.
constexpr const char* kQsoWords[] = {
    "CQ",  "DE",   "K",    "KN",   "BK",   "TU",   "TNX",  "TKS",  "73",   "88",   "RST",  "5NN",  "599",
    "UR",  "ES",   "GM",   "GA",   "GE",   "GN",   "OM",   "YL",   "FB",   "HR",   "HW",   "QTH",  "QSL",
    "QRZ", "QRM",  "QRN",  "QSB",  "QRP",  "QRO",  "QSY",  "NAME", "RIG",  "ANT",  "WX",   "PSE",  "AGN",
    "SRI", "CFM",  "CPY",  "FER",  "ABT",  "DR",   "NR",   "OP",   "PWR",  "BURO", "VIA",  "GL",   "GUD",
    "HPE", "CUL",  "TEST", "CALL", "R",    "RPT",  "WID",  "VY",   "HI",   "DX",   "SIG",  "TEMP",
};

bool IsLetter(char c) { return c >= 'A' && c <= 'Z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A prefix of: [digit] letter{1,2} digit letter{1,4} [/ alnum{1,4}].
bool CallsignPrefix(const char* w, int n) {
  int state = 0, count = 0;
  for (int i = 0; i < n; ++i) {
    const char c = w[i];
    switch (state) {
      case 0:  // start
        if (IsDigit(c)) state = 1;
        else if (IsLetter(c)) state = 2, count = 1;
        else return false;
        break;
      case 1:  // after a leading digit
        if (!IsLetter(c)) return false;
        state = 2, count = 1;
        break;
      case 2:  // the prefix's letters
        if (IsDigit(c)) state = 3;
        else if (IsLetter(c) && count < 2) ++count;
        else return false;
        break;
      case 3:  // after the area digit
        if (!IsLetter(c)) return false;
        state = 4, count = 1;
        break;
      case 4:  // the suffix
        if (c == '/') state = 5, count = 0;
        else if (IsLetter(c) && count < 4) ++count;
        else return false;
        break;
      default:  // after '/'
        if (!(IsLetter(c) || IsDigit(c)) || ++count > 4) return false;
    }
  }
  return true;
}

}  // namespace

int MorseWordFit(const char* word, int n) {
  if (n <= 0) return 0;
  for (const char* q : kQsoWords)
    if (static_cast<int>(std::strlen(q)) >= n && std::strncmp(q, word, n) == 0) return 2;
  bool digits = true;
  for (int i = 0; i < n; ++i) digits = digits && IsDigit(word[i]);
  return digits || CallsignPrefix(word, n) ? 1 : 0;
}
