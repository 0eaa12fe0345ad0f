// The CW decoder on generated Morse of known text, beside Debian's
// morse2ascii on the same WAV files.
//
// Material (tests/support/MorseSignal): QSO-like texts with callsigns,
// reports, numbers and prosigns, and plain words, at 11025 Hz, 700 Hz tone.
// SNR: key-down carrier power over the noise power in 500 Hz around the
// tone; white noise unless the row says band (300..2700 Hz). Machine rows
// run 12, 20, 28 and 35 wpm in turn, hand rows 16 and 24 wpm with dah/dit
// 2.5 and 4 and every element and gap 20 % off at random.
// Figures:
//   CER %      Levenshtein distance over the reference's length, spaces
//              counted (runs of spaces as one), a prosign one character
//   lock       characters sent before the first of two copied in a row
//   follow s   after a speed change, until the speed shown stays within
//              20 % of the new one (worst change of the row)
//   late       longest delay from a character's end to its printing, in
//              word spaces (7 dits) of its speed, from the 13th character on
//   noise      characters printed per minute on noise alone
//   core %     share of one core for one decoder
// The skimmer: four stations 100 Hz apart at 10 dB, 15 to 35 wpm, each
// scored as a row of its own would be; found: from the station's first
// mark until the skimmer has printed its first character.
//
// usage: tarvik_bench_decoder [--quick] [--show] [ROW...]
//   --show  prints each row's reference and both decoders' text

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "decode/CwDecoder.h"
#include "decode/CwSkimmer.h"
#include "support/MorseSignal.h"

namespace {

constexpr double kPitch = 700;
constexpr double kAmp = 1000;  // 16-bit units: room for the noise at -5 dB

const char* const kTexts[] = {
    "CQ CQ CQ DE DL1ABC DL1ABC K",
    "W1AW DE DL1ABC GM OM TNX FER CALL UR RST 599 5NN NAME HANS QTH BERLIN HW? <AR> W1AW DE DL1ABC <KN>",
    "R R TNX HANS UR RST 579 NAME JOHN QTH NEWINGTON CT RIG K3 ES ANT DIPOLE WX SUNNY 22C <BT> 73 ES GL <SK>",
    "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 1234567890 PSE QSL VIA BURO",
    "G4XYZ DE JA1QRP UR 5NN 0012 TU <BT> QRZ? DE VK2ABC/P K",
};

struct Sent {
  std::vector<double> audio;
  std::vector<SentChar> chars;
  std::string text;
};

struct Output {
  std::string text;
  std::vector<std::int64_t> printedAt;  // per character of text
  std::vector<std::pair<std::int64_t, double>> wpm;
  double seconds = 0;
};

// Upper case, runs of spaces as one, trimmed; each prosign one byte.
std::string Normal(const std::string& in) {
  static const std::map<std::string, char> kPro = {{"<AR>", '\x01'}, {"<BT>", '\x02'}, {"<SK>", '\x03'},
                                                   {"<KN>", '\x04'}, {"<AS>", '\x05'}, {"<KA>", '\x06'},
                                                   {"<SN>", '\x07'}, {"<HH>", '\x08'}};
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(in[i])));
    if (c == '<' && i + 3 < in.size() && in[i + 3] == '>') {
      auto it = kPro.find(in.substr(i, 4));
      if (it != kPro.end()) {
        out += it->second;
        i += 3;
        continue;
      }
    }
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Edit distance and, for each reference position, the output position it
// was matched to exactly (-1 if none).
int Levenshtein(const std::string& ref, const std::string& out, std::vector<int>* match = nullptr) {
  const int n = static_cast<int>(ref.size()), m = static_cast<int>(out.size());
  std::vector<int> d((n + 1) * (m + 1));
  auto at = [&](int i, int j) -> int& { return d[i * (m + 1) + j]; };
  for (int i = 0; i <= n; ++i) at(i, 0) = i;
  for (int j = 0; j <= m; ++j) at(0, j) = j;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= m; ++j)
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + (ref[i - 1] != out[j - 1])});
  if (match) {
    match->assign(n, -1);
    for (int i = n, j = m; i > 0 && j > 0;) {
      if (at(i, j) == at(i - 1, j - 1) + (ref[i - 1] != out[j - 1])) {
        if (ref[i - 1] == out[j - 1]) (*match)[i - 1] = j - 1;
        --i, --j;
      } else if (at(i, j) == at(i - 1, j) + 1) {
        --i;
      } else {
        --j;
      }
    }
  }
  return at(n, m);
}

void WriteWav(const std::string& path, const std::vector<double>& x) {
  SF_INFO info{};
  info.samplerate = 11025;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::vector<short> s(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) s[i] = static_cast<short>(std::clamp(std::lround(x[i]), -32768L, 32767L));
  sf_write_short(f, s.data(), static_cast<sf_count_t>(s.size()));
  sf_close(f);
}

std::vector<double> Quantised(const std::vector<double>& x) {
  std::vector<double> q(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) q[i] = static_cast<double>(std::clamp(std::lround(x[i]), -32768L, 32767L));
  return q;
}

Output RunOurs(const std::vector<double>& x) {
  CwDecoder dec;
  dec.SetPitch(kPitch);
  Output o;
  CwSymbol s;
  const int block = 512;
  const auto t0 = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < x.size(); i += block) {
    const int n = static_cast<int>(std::min<std::size_t>(block, x.size() - i));
    dec.Process(x.data() + i, n);
    while (dec.Pop(s)) {
      o.text += s.text;
      o.printedAt.resize(o.text.size(), dec.Samples());
    }
    o.wpm.push_back({dec.Samples(), dec.Wpm()});
  }
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return o;
}

std::string RunMorse2ascii(const std::string& wav) {
  const std::string cmd = "morse2ascii " + wav + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return {};
  std::string all;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) all.append(buf, n);
  pclose(p);
  // The text follows its banner and a "- decoded text:" style line; keep
  // what comes after the last line that ends with ':' (or all of it).
  const std::size_t mark = all.rfind("text:");
  std::string text = all;
  if (mark != std::string::npos) text = all.substr(mark + 5);
  return text;
}

struct Row {
  std::string name;
  std::function<Sent(std::uint32_t)> make;
  bool speedChanges = false;
};

Sent Make(const std::vector<MorsePart>& parts, const MorseKeying& k, double snrDb, std::uint32_t seed,
          double fadeDb = 0, double secondDb = -99, bool band = false) {
  Sent s;
  const std::vector<double> env = MorseEnvelope(parts, k, &s.chars);
  s.text = MorseText(parts);
  AddKeyedTone(s.audio, env, kPitch, kAmp, 0.2, fadeDb);
  if (secondDb > -90) {
    MorseKeying k2 = k;
    k2.seed = seed + 99;
    k2.leadS = 0.2;
    const std::vector<MorsePart> other = {{"VK2ABC DE ZL1XX UR RST 449 449 NAME BOB QTH AUCKLAND", 24}};
    std::vector<double> env2 = MorseEnvelope(other, k2);
    while (env2.size() < env.size()) {  // the other station keeps sending
      std::vector<double> more = MorseEnvelope(other, k2);
      env2.insert(env2.end(), more.begin(), more.end());
    }
    env2.resize(env.size());
    AddKeyedTone(s.audio, env2, kPitch + 150, kAmp * std::pow(10.0, secondDb / 20));
  }
  if (snrDb < 90) AddNoise(s.audio, kAmp, snrDb, seed, band);
  return s;
}

// The texts of run i: each speed of a row meets each of the four long texts
// in turn over its runs (the first four runs: one text a speed).
int TextOf(std::uint32_t i) { return 1 + static_cast<int>((i % 4 + i / 4) % 4); }

std::vector<MorsePart> Machine(double wpm, int text) { return {{kTexts[text], wpm}}; }

struct Score {
  long errors = 0, length = 0, oursPrinted = 0;
  long m2aErrors = 0;
  int lockWorst = 0;
  double followWorst = 0, lateWorst = 0, audioS = 0, cpuS = 0;
};

void Measure(const Row& row, Score& sc, bool show, int index) {
  const Sent sent = row.make(index);
  const std::vector<double> q = Quantised(sent.audio);
  const Output ours = RunOurs(q);
  sc.audioS += q.size() / 11025.0;
  sc.cpuS += ours.seconds;
  const std::string ref = Normal(sent.text), got = Normal(ours.text);
  std::vector<int> match;
  sc.errors += Levenshtein(ref, got, &match);
  sc.length += static_cast<long>(ref.size());
  // Lock: characters sent before the first two copied in a row.
  int lock = static_cast<int>(ref.size()), chars = 0;
  for (std::size_t i = 0; i + 1 < ref.size(); ++i) {
    if (ref[i] == ' ') continue;
    if (match[i] >= 0 && ref[i + 1] != ' ' && match[i + 1] >= 0) {
      lock = chars;
      break;
    }
    if (match[i] >= 0 && ref[i + 1] == ' ' && i + 2 < ref.size() && match[i + 2] >= 0) {
      lock = chars;
      break;
    }
    ++chars;
  }
  sc.lockWorst = std::max(sc.lockWorst, lock);
  // Lateness of matched characters. The normalised output maps back to the
  // raw text only when they are alike in length (no prosigns, no runs of
  // spaces); otherwise it is skipped.
  {
    std::vector<std::int64_t> at;  // printing time per normalised output character
    std::string norm;
    for (std::size_t i = 0; i < ours.text.size(); ++i) {
      const std::string one = Normal(ours.text.substr(i, ours.text[i] == '<' ? 4 : 1));
      if (ours.text[i] == '<') i += 3;
      if (one.empty()) {
        if (!norm.empty() && norm.back() != ' ') norm += ' ', at.push_back(ours.printedAt[i]);
        continue;
      }
      norm += one;
      at.push_back(ours.printedAt[i]);
    }
    if (norm == got || Normal(norm) == got) {
      int c = 0;
      for (std::size_t i = 0; i < ref.size() && c < static_cast<int>(sent.chars.size()); ++i) {
        if (ref[i] == ' ') continue;
        // The first characters wait for the timing to be learned (see README).
        if (match[i] >= 0 && match[i] < static_cast<int>(at.size()) && c >= 12) {
          const double word = 7 * 1.2 / sent.chars[c].wpm * 11025;
          sc.lateWorst = std::max(sc.lateWorst, (at[match[i]] - sent.chars[c].end) / word);
        }
        ++c;
      }
    }
  }
  // Following speed changes.
  if (row.speedChanges) {
    for (std::size_t c = 1; c < sent.chars.size(); ++c) {
      if (sent.chars[c].wpm == sent.chars[c - 1].wpm) continue;
      const std::int64_t from = sent.chars[c].start;
      std::int64_t until = sent.chars.back().end;
      for (std::size_t d = c + 1; d < sent.chars.size(); ++d)
        if (sent.chars[d].wpm != sent.chars[c].wpm) {
          until = sent.chars[d].start;
          break;
        }
      std::int64_t settled = from;
      for (const auto& [t, w] : ours.wpm) {
        if (t < from || t > until) continue;
        if (std::abs(w / sent.chars[c].wpm - 1) > 0.2) settled = t;
      }
      sc.followWorst = std::max(sc.followWorst, (settled - from) / 11025.0);
    }
  }
  // morse2ascii on the same samples.
  const std::string wav = "/tmp/tarvik_bench_cw_" + std::to_string(getpid()) + ".wav";
  WriteWav(wav, sent.audio);
  const std::string theirs = Normal(RunMorse2ascii(wav));
  std::remove(wav.c_str());
  sc.m2aErrors += Levenshtein(ref, theirs);
  if (show)
    std::printf("  ref   %s\n  ours  %s\n  m2a   %s\n", sent.text.c_str(), ours.text.c_str(), theirs.c_str());
}

void Skim(int runs, bool show) {
  const double pitches[4] = {500, 600, 700, 800}, wpms[4] = {15, 22, 28, 35};
  long errors = 0, length = 0;
  double foundWorst = 0, cpu = 0, audio = 0;
  int missing = 0;
  for (int run = 0; run < runs; ++run) {
    std::vector<double> x;
    std::vector<std::vector<SentChar>> sent(4);
    std::string texts[4];
    for (int st = 0; st < 4; ++st) {
      MorseKeying k;
      k.seed = 50 + run * 4 + st;
      k.leadS = 0.5 + 0.4 * st;
      const std::vector<MorsePart> parts = {{kTexts[(run + st) % 5], wpms[st]}};
      texts[st] = MorseText(parts);
      AddKeyedTone(x, MorseEnvelope(parts, k, &sent[st]), pitches[st], kAmp);
    }
    AddNoise(x, kAmp, 10, 900 + run);
    const std::vector<double> q = Quantised(x);
    CwSkimmer skimmer;
    double found[4] = {-1, -1, -1, -1};
    std::string got[4];
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < q.size(); i += 1024) {
      skimmer.Process(q.data() + i, static_cast<int>(std::min<std::size_t>(1024, q.size() - i)));
      for (const CwSignal& sig : skimmer.Signals())
        for (int st = 0; st < 4; ++st) {
          if (std::abs(sig.pitchHz - pitches[st]) >= 30) continue;
          if (found[st] < 0) found[st] = (static_cast<double>(i) - sent[st].front().start) / 11025;
          // A station that has ended is let go after 30 s: its text as last seen.
          if (sig.text.size() >= got[st].size()) got[st] = sig.text;
        }
    }
    const std::vector<double> silence(11025 / 4, 0.0);
    skimmer.Process(silence.data(), static_cast<int>(silence.size()));
    skimmer.Flush();
    cpu += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    audio += q.size() / 11025.0;
    const std::vector<CwSignal> list = skimmer.Signals();
    if (show)
      for (const CwSignal& sig : list) std::printf("  listed %.1f Hz %.0f wpm: %s\n", sig.pitchHz, sig.wpm, sig.text.c_str());
    for (int st = 0; st < 4; ++st) {
      for (const CwSignal& sig : list)
        if (std::abs(sig.pitchHz - pitches[st]) < 30 && sig.text.size() >= got[st].size()) got[st] = sig.text;
      if (found[st] < 0) ++missing;
      foundWorst = std::max(foundWorst, found[st]);
      const std::string ref = Normal(texts[st]);
      errors += Levenshtein(ref, Normal(got[st]));
      length += static_cast<long>(ref.size());
      if (show) std::printf("  %4.0f Hz ref  %s\n          ours %s\n", pitches[st], texts[st].c_str(), got[st].c_str());
    }
  }
  std::printf("%-24s %8.1f %8s %5s %8s %6s   found within %.1f s%s; %.2f %% of one core\n", "skimmer 4 x 10 dB",
              100.0 * errors / length, "-", "-", "-", "-", foundWorst, missing ? " (some never)" : "",
              100 * cpu / audio);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, show = false;
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick")) quick = true;
    else if (!std::strcmp(argv[i], "--show")) show = true;
    else only.push_back(argv[i]);
  }
  if (std::system("command -v morse2ascii >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "tarvik_bench_decoder: morse2ascii is not installed (tools/install-deps.sh --bench)\n");
    return 1;
  }
  const double speeds[] = {12, 20, 28, 35};
  std::vector<Row> rows;
  for (double snr : {99.0, 20.0, 10.0, 5.0, 0.0, -5.0}) {
    char name[64];
    std::snprintf(name, sizeof name, snr > 90 ? "machine, no noise" : "machine %+.0f dB", snr);
    rows.push_back({name, [=, &speeds](std::uint32_t i) {
                      MorseKeying k;
                      k.seed = i + 1;
                      return Make(Machine(speeds[i % 4], TextOf(i)), k, snr, 100 + i);
                    }});
  }
  rows.push_back({"machine band 5 dB", [&](std::uint32_t i) {
                    MorseKeying k;
                    k.seed = i + 1;
                    return Make(Machine(speeds[i % 4], TextOf(i)), k, 5, 200 + i, 0, -99, true);
                  }});
  for (double snr : {10.0, 5.0}) {
    char name[64];
    std::snprintf(name, sizeof name, "hand %+.0f dB", snr);
    rows.push_back({name, [=](std::uint32_t i) {
                      MorseKeying k;
                      k.seed = i + 7;
                      k.jitter = 0.2;
                      k.ratio = i % 2 ? 2.5 : 4;
                      return Make(Machine(i % 2 ? 16 : 24, TextOf(i)), k, snr, 300 + i);
                    }});
  }
  rows.push_back({"speed 15>30>20 10 dB", [](std::uint32_t i) {
                    MorseKeying k;
                    k.seed = i + 3;
                    return Make({{kTexts[1], 15}, {kTexts[2], 30}, {kTexts[4], 20}}, k, 10, 400 + i);
                  }, true});
  rows.push_back({"speed 25>12>35 10 dB", [](std::uint32_t i) {
                    MorseKeying k;
                    k.seed = i + 4;
                    return Make({{kTexts[3], 25}, {kTexts[0], 12}, {kTexts[2], 35}}, k, 10, 500 + i);
                  }, true});
  rows.push_back({"hand 18>28>14 10 dB", [](std::uint32_t i) {
                    MorseKeying k;
                    k.seed = i + 5;
                    k.jitter = 0.2;
                    k.ratio = 3.5;
                    return Make({{kTexts[2], 18}, {kTexts[1], 28}, {kTexts[4], 14}}, k, 10, 600 + i);
                  }, true});
  rows.push_back({"fading 15 dB deep 10 dB", [&](std::uint32_t i) {
                    MorseKeying k;
                    k.seed = i + 1;
                    return Make(Machine(speeds[i % 4], TextOf(i)), k, 10, 700 + i, 15);
                  }});
  rows.push_back({"2nd station -6 dB 10 dB", [&](std::uint32_t i) {
                    MorseKeying k;
                    k.seed = i + 1;
                    return Make(Machine(speeds[i % 4], TextOf(i)), k, 10, 800 + i, 0, -6);
                  }});
  rows.push_back({"2nd station 0 dB 10 dB", [&](std::uint32_t i) {
                    MorseKeying k;
                    k.seed = i + 1;
                    return Make(Machine(speeds[i % 4], TextOf(i)), k, 10, 900 + i, 0, 0);
                  }});
  rows.push_back({"Farnsworth 18/10 10 dB", [](std::uint32_t i) {
                    MorseKeying k;
                    k.seed = i + 1;
                    return Make({{kTexts[TextOf(i)], 18, 10}}, k, 10, 1000 + i);
                  }});
  rows.push_back({"Farnsworth 25/13 10 dB", [](std::uint32_t i) {
                    MorseKeying k;
                    k.seed = i + 1;
                    return Make({{kTexts[TextOf(i)], 25, 13}}, k, 10, 1100 + i);
                  }});

  std::printf("%-24s %8s %8s %5s %8s %6s\n", "row", "ours %", "m2a %", "lock", "follow s", "late");
  const int runs = quick ? 4 : 16;
  Score all;
  for (const Row& row : rows) {
    if (!only.empty() && std::find(only.begin(), only.end(), row.name) == only.end()) continue;
    if (show) std::printf("%s\n", row.name.c_str());
    Score sc;
    for (int i = 0; i < runs; ++i) Measure(row, sc, show, i);
    char follow[16] = "-";
    if (row.speedChanges) std::snprintf(follow, sizeof follow, "%.2f", sc.followWorst);
    std::printf("%-24s %8.1f %8.1f %5d %8s %6.2f\n", row.name.c_str(), 100.0 * sc.errors / sc.length,
                100.0 * sc.m2aErrors / sc.length, sc.lockWorst, follow, sc.lateWorst);
    std::fflush(stdout);
    all.audioS += sc.audioS;
    all.cpuS += sc.cpuS;
  }
  // Noise alone.
  if (only.empty() || std::find(only.begin(), only.end(), "noise") != only.end()) {
    long printed = 0, m2a = 0;
    const double seconds = 120;
    for (int band = 0; band < 2; ++band) {
      std::vector<double> x(static_cast<std::size_t>(seconds * 11025), 0.0);
      AddNoise(x, kAmp, 0, 1234 + band, band);
      const Output o = RunOurs(Quantised(x));
      for (char c : o.text) printed += c != ' ';
      const std::string wav = "/tmp/tarvik_bench_cw_noise.wav";
      WriteWav(wav, x);
      for (char c : RunMorse2ascii(wav)) m2a += !std::isspace(static_cast<unsigned char>(c));
      std::remove(wav.c_str());
    }
    std::printf("%-24s %8.1f %8.1f   characters per minute\n", "noise alone", printed / (2 * seconds / 60),
                m2a / (2 * seconds / 60));
  }
  if (only.empty() || std::find(only.begin(), only.end(), "skimmer") != only.end()) Skim(runs, show);
  if (all.audioS > 0) std::printf("core %%: %.3f of one core per decoder\n", 100 * all.cpuS / all.audioS);
  return 0;
}
