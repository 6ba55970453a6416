// The walks of the qualitative analyses over their spectra: reading a
// spectrum index block, and the chromatograms and searches over the spectra
// it lists.
//
// The walks know nothing of where the spectra are kept or of the caller's
// objects. A walk takes the spectra as a table (see SpectrumTable) and asks
// what only its caller can answer (whether a spectrum's condition is the
// caller's, whether a time lies in the caller's range) through the functions
// it is given, in the order stated at each walk; everything else it does on
// the native records and points.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "analysis/qual.hpp"
#include "blocks/blocks.hpp"
#include "format/errors.hpp"
#include "format/numbers.hpp"
#include "io/reader.hpp"
#include "records/index.hpp"
#include "records/records.hpp"

namespace zarn {

// ---------------------------------------------------------------- spectrum index block

// Reads the spectrum index block at `position` (a position from the file;
// the reader's version must be known), calling on `visit`:
//   begin(capacity)       the number of spectra the block has positions for;
//   spectrum(i, position) for each spectrum in order, the reader standing at
//                         its description, which the visitor reads;
//   listed()              once every description is read;
//   profile(i, position)  for each spectrum when the block stores profile
//                         positions;
// then closes the descriptions' segment and confirms the end symbol.
template <typename Visitor>
void walk_spectrum_index_block(Reader &reader, int64_t position, Visitor &&visit) {
    const SpectrumIndexHead head = read_spectrum_index_head(reader, position);
    DecompressedSegment segment(reader, Reader::SegmentContent::Records);
    visit.begin(size_t(std::min<int64_t>(head.count, int64_t(head.offsets.size()))));
    for (int64_t i = 0; i < head.count; ++i) visit.spectrum(i, stored_offset(head.offsets, head.origin, i));
    visit.listed();
    if (head.has_profile)
        for (int64_t i = 0; i < head.count; ++i) visit.profile(i, stored_offset(head.profile_offsets, head.origin, i));
    segment.close();
    reader.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM_INDEX_BLOCK);
}

}  // namespace zarn
