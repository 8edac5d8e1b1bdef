// The adaptive binary rANS bit engine shared by the byte-plane coder (arans)
// and the coefficient model (cmodel).
//
// Read me first:
//  * A probability p is P(bit = 0) in units of 1/4096. Bit 0 owns the slot
//    range [0, p) of the 4096 slots, bit 1 owns [p, 4096).
//  * rANS is last-in first-out. BinEnc therefore only *models* in put(): it
//    records (p, bit) in forward order and adapts; finish_into() codes the record
//    backwards, so that BinDec meets the bits, and adapts, in forward order.
//  * The state x lives in [L, 2^32) between symbols, L = 2^16, and moves 16
//    bits at a time. Words leave the encoder in the reverse of the order in
//    which the decoder reads them; finish_into() writes its buffer from the back.
//  * Coded bytes: final state (u32 LE), then the words (u16 LE) in reading order.
#pragma once

// probability.hpp: probabilities, adaptation, queued symbols.
// symbol_queue.hpp: storage of queued symbols.
// encoder.hpp: the rANS step, BackwardCoder and BinEnc.
// decoder.hpp: BinDec and the capacity bound max_symbols().
#include "bin_engine/decoder.hpp"
#include "bin_engine/encoder.hpp"
#include "bin_engine/probability.hpp"
#include "bin_engine/symbol_queue.hpp"
