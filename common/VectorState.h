#pragma once
// Code built for 256-bit vectors that returns without clearing their upper
// halves (the drawing library does, on this thread) makes every later switch
// between the SSE code of this program or libm and VEX code on the same
// thread stall: on Intel cores log10 and sincos then ran up to twenty times
// slower. Call this at the start of the window thread's heavy loops. Costs
// about a cycle; does nothing on a CPU without AVX or outside x86.
void ClearUpperVectorState();
