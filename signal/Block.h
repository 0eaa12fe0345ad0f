#pragma once
// A block of samples as every same-rate stage of the chain takes it: doubles
// in 16-bit units, interleaved frame after frame, `channels` to a frame, in
// a buffer of `capacity` samples. A stage works in place; one that widens
// the block (mono to stereo) may raise `channels` within the capacity.

struct Block {
  double* samples = nullptr;  // frame f, channel c at samples[f * channels + c]
  int frames = 0;
  int channels = 1;
  int capacity = 0;  // samples the buffer holds, at least frames * channels
};

// The mono block over io[0..count), filling its buffer.
inline Block MonoBlock(double* io, int count) { return Block{io, count, 1, count}; }

// Frames [from, from + count) of b, for running a long block in pieces.
inline Block Frames(const Block& b, int from, int count) {
  const int at = from * b.channels;
  return Block{b.samples + at, count, b.channels, b.capacity - at};
}
