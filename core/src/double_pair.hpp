// Two doubles that arithmetic treats together, entry by entry, as one
// instruction does: the same bits as two separate operations. Long sums of
// small matrices keep their accumulators in these, so that the compiler
// neither splits them into single entries nor spills them.
#pragma once

namespace galdrin {

typedef double DoublePair __attribute__((vector_size(16)));

}  // namespace galdrin
