#pragma once

// The scaffolding of encode_batch and count_batch, shared by every class: the texts are
// spread over native threads (core/parallel_for.h) with the interpreter lock released and
// Ctrl-C watched (run_releasing_gil.h), then the results are turned into lists.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bindings/gc_pause.h"
#include "bindings/id_lists.h"
#include "bindings/run_releasing_gil.h"
#include "bindings/text_batch.h"
#include "core/parallel_for.h"

namespace corvane::bindings {

// The ids of each text, as a list of lists. encode_chunk(texts, n, ids, ends) appends the
// ids of texts[0, n) to `ids` and sets ends[i] to the size of `ids` after text i;
// `bytes_per_id` sizes each buffer up front. The native threads take contiguous chunks of
// the batch; each chunk's ids go to one buffer (kept at the chunk's first text).
template <class EncodeChunk>
pybind11::list encode_texts(const TextBatch& batch, std::size_t bytes_per_id, EncodeChunk&& encode_chunk) {
  namespace py = pybind11;
  const std::size_t n = batch.views.size();
  std::vector<std::vector<int32_t>> buffers(n);
  std::vector<std::size_t> ends(n), chunk_of(n);
  run_releasing_gil(batch.total_bytes, [&] {
    ParallelFor::run(batch.sizes, [&](std::size_t begin, std::size_t end) {
      std::vector<int32_t>& ids = buffers[begin];
      std::size_t bytes = 0;
      for (std::size_t i = begin; i < end; ++i) bytes += batch.sizes[i];
      ids.reserve(bytes / bytes_per_id + 16);
      encode_chunk(batch.views.data() + begin, end - begin, ids, ends.data() + begin);
      for (std::size_t i = begin; i < end; ++i) chunk_of[i] = begin;
    });
  });
  const GcPause pause;
  py::list out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t first = chunk_of[i];
    const std::size_t start = i == first ? 0 : ends[i - 1];
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                    ids_to_list(buffers[first].data() + start, ends[i] - start).release().ptr());
    if (i + 1 == n || chunk_of[i + 1] != first) std::vector<int32_t>().swap(buffers[first]);  // chunk done
  }
  return out;
}

// The number of ids of each text, as a list. count_chunk(texts, n, counts) sets counts[i]
// for texts[0, n).
template <class CountChunk>
pybind11::list count_texts(const TextBatch& batch, CountChunk&& count_chunk) {
  std::vector<std::size_t> counts(batch.views.size());
  run_releasing_gil(batch.total_bytes, [&] {
    ParallelFor::run(batch.sizes, [&](std::size_t begin, std::size_t end) {
      count_chunk(batch.views.data() + begin, end - begin, counts.data() + begin);
    });
  });
  return counts_to_list(counts);
}

}  // namespace corvane::bindings
