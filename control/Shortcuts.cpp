#include "control/Shortcuts.h"

const Shortcut kShortcuts[kShortcutCount] = {
    {"Space", "through on and off", "スルーの入/切", {{"Space", Command::Through, 0}}},
    {"H", "the 80 Hz high-pass on and off", "80 Hz ハイパスの入/切", {{"H", Command::HighPass, 0}}},
    {"Left / Right",
     "Fo down / up 10 Hz",
     "Fo を 10 Hz 下げる/上げる",
     {{"Left", Command::FoDown, 0}, {"Right", Command::FoUp, 0}}},
    {"Shift+Left / Right",
     "Fo down / up 50 Hz",
     "Fo を 50 Hz 下げる/上げる",
     {{"Shift+Left", Command::FoDownFar, 0}, {"Shift+Right", Command::FoUpFar, 0}}},
    {"1 2 3 4",
     "the preset in that place of the current row",
     "今の行のその位置のプリセット",
     {{"1", Command::RowPlace, 1}, {"2", Command::RowPlace, 2}, {"3", Command::RowPlace, 3},
      {"4", Command::RowPlace, 4}}},
    {"Up / Down",
     "the same place in the row above / below",
     "上/下の行の同じ位置",
     {{"Up", Command::RowUp, 0}, {"Down", Command::RowDown, 0}}},
    {"N", "noise reduction on and off", "ノイズ リダクションの入/切", {{"N", Command::NoiseReduction, 0}}},
    {"B", "the noise blanker on and off", "ノイズ ブランカの入/切", {{"B", Command::Blanker, 0}}},
    {"C", "clear the notches", "ノッチをすべて消去", {{"C", Command::ClearNotches, 0}}},
    {"O",
     "the output: mono, binaural, pan, in turn",
     "出力: モノラル, バイノーラル, パンの順に",
     {{"O", Command::NextOutput, 0}}},
    {"W", "the waterfall shown and hidden", "ウォーターフォールの表示/非表示", {{"W", Command::Waterfall, 0}}},
    {"D", "the Morse decoder on and off", "モールス デコーダの入/切", {{"D", Command::Decoder, 0}}},
    {"Left click on the spectrum or the waterfall",
     "Fo there (to 5 Hz), as if typed",
     "スペクトルかウォーターフォールを左クリック: そこを Fo に",
     {}},
    {"Right click on the spectrum or the waterfall",
     "a notch there (on a notch: remove it)",
     "スペクトルかウォーターフォールを右クリック: そこにノッチ (ノッチ上なら削除)",
     {}},
    {"Ctrl+left click on the spectrum",
     "with a rig in CW: tune it so that the tone there lands on the pitch (zero-beat)",
     "スペクトルを Ctrl+左クリック: CW のリグをその信号にゼロ ビート",
     {}},
    {"Ctrl+R", "start / stop recording", "録音の開始/停止", {{"Ctrl+R", Command::Record, 0}}},
    {"Ctrl+D", "design the user slot", "ユーザ フィルタの設計", {{"Ctrl+D", Command::Design, 0}}},
    {"Ctrl+Q", "quit", "終了", {{"Ctrl+Q", Command::Quit, 0}}},
};

std::string ShortcutsMarkdown() {
  std::string t = "| Key | What |\n|---|---|\n";
  for (const Shortcut& s : kShortcuts) t += std::string("| ") + s.keys + " | " + s.english + " |\n";
  return t;
}
