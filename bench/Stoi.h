#pragma once
// Short-Time Objective Intelligibility, as Taal, Hendriks, Heusdens and
// Jensen describe it ("An algorithm for intelligibility prediction of
// time-frequency weighted noisy speech", IEEE TASLP 19(7), 2011): both
// signals at 10 kHz, silent frames of the clean one (40 dB below its
// loudest) removed from both, 256-sample Hann frames at half overlap
// (512-point DFT), 15 one-third octave bands from 150 Hz, 30-frame
// segments (384 ms), the processed envelope scaled to the clean one and
// clipped at -15 dB signal-to-distortion, and the mean correlation.

#include <vector>

// clean and processed at rateHz, aligned, of the same length. 0..1.
// bandHz > 0: over the one band that holds it only (a tone's own band).
double Stoi(const std::vector<double>& clean, const std::vector<double>& processed, double rateHz,
            double bandHz = 0.0);
