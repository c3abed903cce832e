// Snapshot waveforms: packets of one snapshot are regrouped, the header comes from the first
// packet, the active channels' samples are put back together, missing packets are estimated and
// a snapshot whose sample count does not add up is reported and keeps a fill-valued waveform.
//
// Triggered and regular snapshots share this assembly; a traits struct holds what differs
// (packet names, the data parameter, the extra header fields, the estimate rule and which number
// the reports name).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "errors.hpp"
#include "outside.hpp"
#include "packet_group.hpp"
#include "records.hpp"
#include "report.hpp"
#include "tds_store.hpp"
#include "time_service.hpp"

namespace dravel::tds {
namespace py = pybind11;

// Outside components of the snapshot decoders.
struct SnapshotComponents : Components {
  Binding CDFToFill{"tesmo.converters.cdf_fill", "CDFToFill"};
  Binding print_exception{"vantor.core.tools.exceptions", "print_exception"};
  Binding count_swf{"kesta.dravel.tasks.tds.utils", "count_swf"};
};

constexpr std::uint64_t NSAMP_MAX_PER_REC = 65536;
constexpr std::uint64_t NSAMP_MAX_PER_PKT = 2032;
constexpr std::uint64_t NCHANNEL = 4;
constexpr std::array<std::uint64_t, 9> SAMP_PER_SNAPSHOT = {512, 1024, 2048, 4096, 8192, 16384, 32768, 65536, 131072};

// Module constants shared by both snapshot modules.
inline void add_snapshot_constants(py::module_& m) {
  m.attr("NSAMP_MAX_PER_REC") = NSAMP_MAX_PER_REC;
  m.attr("NSAMP_MAX_PER_PKT") = NSAMP_MAX_PER_PKT;
  m.attr("NCHANNEL") = NCHANNEL;
  py::array_t<std::uint64_t> lengths(static_cast<py::ssize_t>(SAMP_PER_SNAPSHOT.size()));
  std::copy(SAMP_PER_SNAPSHOT.begin(), SAMP_PER_SNAPSHOT.end(), lengths.mutable_data());
  m.attr("SAMP_PER_SNAPSHOT") = lengths;
  m.attr("SAMP_RATE_ENUM") = sampling_rate_enum();
}

// The header fields every snapshot record type has, and the waveform.
inline py::list snapshot_header_entries() {
  py::list l = record_header_entries();
  l.append(entry("sampling_rate", "float32"));
  l.append(entry("hf_data_artefacts", "uint8", 5));
  l.append(entry("filter_coefs", "uint8"));
  l.append(entry("zelk_status_info", "uint8", 8));
  l.append(entry("input_config", "uint32"));
  l.append(entry("snapshot_seq_nr", "uint16"));
  return l;
}

// Samples per channel of one packet when every channel in `active_sum` is on.
inline std::uint64_t samples_per_channel_max(unsigned active_sum) {
  return static_cast<std::uint64_t>(static_cast<double>(NSAMP_MAX_PER_PKT) / static_cast<double>(active_sum));
}

// The snapshot length for x = samples per channel max x packet count: the table entry with the
// smallest wrapping difference (x - S) mod 2^64, reduced to 32 bits; the first entry on a tie.
inline std::uint64_t snapshot_length(std::uint64_t x) {
  std::uint64_t best = SAMP_PER_SNAPSHOT[0];
  std::uint32_t best_diff = std::numeric_limits<std::uint32_t>::max();
  bool first = true;
  for (std::uint64_t s : SAMP_PER_SNAPSHOT) {
    auto diff = static_cast<std::uint32_t>(x - s);
    if (first || diff < best_diff) {
      best = s;
      best_diff = diff;
      first = false;
    }
  }
  return best;
}

namespace detail {
const char* const CHANNEL_PARAMS[4] = {"PA_TDS_HF_CH_ADC_CH1", "PA_TDS_HF_CH_ADC_CH2", "PA_TDS_HF_CH_ADC_CH3",
                                       "PA_TDS_HF_CH_ADC_CH4"};
const char* const STATUS_PARAMS[8] = {"PA_TDS_THR_OFF",           "PA_TDS_LFR_OFF",         "PA_TDS_ANT1_OFF",
                                      "PA_TDS_ANT2_OFF",          "PA_TDS_ANT3_OFF",        "PA_TDS_SCM_OFF",
                                      "PA_TDS_HF_ART_MAG_HEATER", "PA_TDS_HF_ART_SCM_CALIB"};
const char* const ARTEFACT_PARAMS[5] = {"PA_TDS_HF_ART_BUF_OVERFLOW", "PA_TDS_HF_ART_ADC1_OR", "PA_TDS_HF_ART_ADC2_OR",
                                        "PA_TDS_HF_ART_ADC3_OR", "PA_TDS_HF_ART_ADC4_OR"};

// One column per listed parameter, each with `n` packets.
template <class T, std::size_t K>
std::array<Column<T>, K> columns(py::handle group, const char* const (&names)[K], std::size_t n,
                                 const std::string& where) {
  std::array<Column<T>, K> out;
  for (std::size_t k = 0; k < K; ++k) out[k] = column<T>(group, names[k], 1, n, where);
  return out;
}

// A flag array field: element k from the k-th column at packet p.
template <std::size_t K>
void store_flags(const Field& field, char* rec, const std::array<Column<std::uint8_t>, K>& cols, std::size_t p) {
  for (std::size_t k = 0; k < K; ++k) field.store(rec, cols[k].at(p), k);
}

// Sets `count` consecutive elements starting at `dst` (any alignment) to `value`.
template <class T>
void fill_elements(char* dst, std::size_t count, T value) {
  if (count == 0) return;
  std::memcpy(dst, &value, sizeof(T));
  std::size_t done = 1;
  while (done < count) {
    std::size_t step = std::min(done, count - done);
    std::memcpy(dst + done * sizeof(T), dst, step * sizeof(T));
    done += step;
  }
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}
}  // namespace detail

// Traits requirements:
//   static constexpr const char* normal_packet, *sbm_packet, *data_param;
//   static constexpr bool has_quality_and_downlink;   // quality_fact and downlink_info fields
//   static constexpr bool reports_record_index;       // reports name i, not the snapshot counter
//   static std::uint64_t max_per_channel(unsigned active_sum);  // samp_per_ch_max, typed
//   static std::int64_t estimate(std::uint64_t k, std::uint64_t cnt, std::int64_t length,
//                                std::int64_t max_per_ch, std::int64_t previous);
template <class Traits>
py::array assemble_snapshots(py::handle l0, py::handle task, py::handle is_sbm, const py::dtype& layout) {
  const SnapshotComponents& c = bindings<SnapshotComponents>();
  Logger log(c.logger.get());
  int normal = PyObject_RichCompareBool(is_sbm.ptr(), Py_False, Py_EQ);
  if (normal < 0) throw py::error_already_set();
  const std::string name = normal ? Traits::normal_packet : Traits::sbm_packet;

  std::optional<py::object> found = packet_group(l0, name, log);
  if (!found) return numpy().zeros(0, layout);
  const std::string where = "packet type " + name;

  // Packets of one snapshot come out contiguous, in time order.
  py::object group;
  {
    Column<std::uint32_t> time = acquisition_time(*found, where);
    Column<std::uint32_t> snapshot_key(*found, "PA_TDS_SNAPSHOT_NR", 1, where);
    snapshot_key.expect_rows(time.rows());
    group = sorted_group(c.sort_data.get(), *found,
                         py::make_tuple(snapshot_key.array(), time_column(time, 1), time_column(time, 0)));
  }

  Column<std::uint32_t> snapshot_nr(group, "PA_TDS_SNAPSHOT_NR", 1, where);
  const std::size_t npackets = snapshot_nr.rows();
  Column<std::uint32_t> time = acquisition_time(group, where);
  time.expect_rows(npackets);
  Column<std::uint8_t> pkt_cnt(group, "PA_TDS_SWF_PKT_CNT", 1, where);
  Column<std::uint8_t> pkt_nr(group, "PA_TDS_SWF_PKT_NR", 1, where);
  Column<std::int64_t> samps_per_ch(group, "PA_TDS_SAMPS_PER_CH", 1, where);
  Column<std::int16_t> block(group, Traits::data_param, 2, where);
  Column<std::int64_t> rate_code(group, "PA_TDS_HF_CH_SAMP_RATE", 1, where);
  Column<std::uint32_t> input_config(group, "PA_TDS_SWF_HF_CH_CONF", 1, where);
  Column<std::uint8_t> filter_coefs(group, "PA_TDS_FILTER_COEFS", 1, where);
  for (const auto* col : {&pkt_cnt, &pkt_nr}) col->expect_rows(npackets);
  samps_per_ch.expect_rows(npackets);
  block.expect_rows(npackets);
  rate_code.expect_rows(npackets);
  input_config.expect_rows(npackets);
  filter_coefs.expect_rows(npackets);
  auto bia = detail::columns<std::uint8_t>(group, BIA_PARAMS, npackets, where);
  auto channels = detail::columns<std::uint8_t>(group, detail::CHANNEL_PARAMS, npackets, where);
  auto status = detail::columns<std::uint8_t>(group, detail::STATUS_PARAMS, npackets, where);
  auto artefacts = detail::columns<std::uint8_t>(group, detail::ARTEFACT_PARAMS, npackets, where);
  Column<std::uint16_t> quality_fact;
  Column<std::uint8_t> dl_algo, dl_select;
  if constexpr (Traits::has_quality_and_downlink) {
    quality_fact = column<std::uint16_t>(group, "PA_TDS_TSWF_QUALITY_FACT", 1, npackets, where);
    dl_algo = column<std::uint8_t>(group, "PA_TDS_TSWF_DL_ALGO_CODE", 1, npackets, where);
    dl_select = column<std::uint8_t>(group, "PA_TDS_TSWF_DL_SELECT_CODE", 1, npackets, where);
  }

  // Snapshot numbering.
  const auto [numbered, count] = pair_result(c.count_swf.get()(snapshot_nr.array()), "count_swf", "(counter, count)");
  const Column<std::uint64_t> counter =
      column_of<std::uint64_t>(numbered, "counter", 1, npackets, "count_swf's result");
  Value count_value = Value::from_python(count, "count_swf's snapshot count");
  if ((count_value.kind == Value::Kind::Int && (count_value.i < 0 || count_value.i > 0xFFFFFFFFLL)) ||
      (count_value.kind == Value::Kind::UInt && count_value.u > 0xFFFFFFFFULL) ||
      count_value.kind == Value::Kind::Float) {
    fail(PyExc_ValueError, "count_swf's snapshot count is not a count of 0 to 2^32 - 1");
  }
  const std::size_t nsnapshots = static_cast<std::size_t>(convert::from<std::uint32_t>(count_value));

  // Packet indices grouped by counter value (ascending, which is also the order of the distinct
  // values), each group ordered by packet number; equal numbers keep their sorted order.
  std::vector<std::uint32_t> order(npackets);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    std::uint64_t ca = counter.data()[a], cb = counter.data()[b];
    if (ca != cb) return ca < cb;
    return pkt_nr.data()[a] < pkt_nr.data()[b];
  });
  std::vector<std::size_t> starts;
  std::vector<std::uint64_t> snapshot_id;
  for (std::size_t q = 0; q < npackets; ++q) {
    std::uint64_t id = counter.data()[order[q]];
    if (q == 0 || id != snapshot_id.back()) {
      starts.push_back(q);
      snapshot_id.push_back(id);
    }
  }
  starts.push_back(npackets);
  if (snapshot_id.size() != nsnapshots) {
    fail(PyExc_ValueError, format("count_swf counted {0} snapshots but numbered {1}", nsnapshots, snapshot_id.size()));
  }

  RecordArray records = RecordArray::zeros(layout, nsnapshots);
  c.fill_records.get()(records.array());
  log.debug(format("Number of snapshots: {0}", nsnapshots));

  const HeaderFields head(records);
  const Field f_rate = records.field("sampling_rate"), f_channels = records.field("channel_status_info"),
              f_status = records.field("zelk_status_info"), f_artefacts = records.field("hf_data_artefacts"),
              f_input = records.field("input_config"), f_filter = records.field("filter_coefs"),
              f_seq = records.field("snapshot_seq_nr"), f_samps = records.field("samps_per_ch"),
              f_wave = records.field("waveform_data");
  Field f_quality, f_downlink;
  if constexpr (Traits::has_quality_and_downlink) {
    f_quality = records.field("quality_fact");
    f_downlink = records.field("downlink_info");
  }
  if (!f_wave.template holds<std::int16_t>() || f_wave.count != NCHANNEL * NSAMP_MAX_PER_REC) {
    fail(PyExc_TypeError, "waveform_data must be int16 of 4 x 65536 samples");
  }

  TimeService times(c.Time.get());
  const py::object print_exception = c.print_exception.get();

  for (std::size_t i = 0; i < nsnapshots; ++i) {
    char* rec = records.record(i);
    const std::uint32_t* snpht = order.data() + starts[i];
    const std::size_t n = starts[i + 1] - starts[i];
    const std::uint32_t p0 = snpht[0];
    const std::uint64_t label = Traits::reports_record_index ? i : snapshot_id[i];

    // Header, all from the first packet.
    head.store_times(rec, time.row(p0), times);
    head.survey_mode.store(rec, 0);
    if constexpr (Traits::has_quality_and_downlink) f_quality.store(rec, quality_fact.at(p0));
    f_rate.store(rec, sampling_rate(rate_code.at(p0), PyExc_KeyError, [&] {
                   return format(
                       "sampling-rate code {0} of packet {1} (parameter PA_TDS_HF_CH_SAMP_RATE, "
                       "snapshot #{2}) is not one of 0 to 4",
                       "{0}", p0, label);
                 }));
    detail::store_flags(head.bia_status_info, rec, bia, p0);
    detail::store_flags(f_channels, rec, channels, p0);
    detail::store_flags(f_status, rec, status, p0);
    detail::store_flags(f_artefacts, rec, artefacts, p0);
    f_input.store(rec, input_config.at(p0));
    f_filter.store(rec, filter_coefs.at(p0));
    f_seq.store(rec, snapshot_nr.at(p0));
    if constexpr (Traits::has_quality_and_downlink) {
      f_downlink.store(rec, dl_algo.at(p0), 0);
      f_downlink.store(rec, dl_select.at(p0), 1);
    }

    std::string failure;  // set when the snapshot is rejected
    std::array<bool, NCHANNEL> active{};
    unsigned active_sum = 0, nactive = 0;
    for (std::size_t l = 0; l < NCHANNEL; ++l) {
      std::uint8_t flag = channels[l].at(p0);
      active[l] = flag == 1;
      nactive += active[l] ? 1u : 0u;
      active_sum += flag;
    }
    // The waveform may sit at any byte offset of a packed record: it is addressed in bytes.
    char* wave = rec + f_wave.offset;
    constexpr std::size_t S = sizeof(std::int16_t);

    if (nactive == 0) {
      failure = format("No active channel in snapshot #{0}: nothing to assemble!", label);
    } else {
      // Expected length.
      const std::uint64_t max_per_ch = Traits::max_per_channel(active_sum);
      const std::uint64_t cnt = pkt_cnt.at(p0);
      const std::uint64_t length = snapshot_length(max_per_ch * cnt);

      // Packet walk.
      std::uint64_t k = 0, nsamp = 0;
      std::size_t j = 0;
      std::int64_t spc = 0;
      bool negative_estimate = false;
      while (k < cnt) {
        if (j >= n) j = n - 1;
        ++k;
        while (j < n && pkt_nr.at(snpht[j]) < k) ++j;  // duplicates and packet number 0
        if (j < n && pkt_nr.at(snpht[j]) == k) {
          const std::uint32_t p = snpht[j];
          spc = samps_per_ch.at(p);
          if (spc < 0) {
            if (failure.empty()) {
              failure = format("Packet #{0} of snapshot #{1} announces {2} samples per channel!", k, label, spc);
            }
          } else if (static_cast<std::uint64_t>(spc) > block.cols() ||
                     static_cast<std::uint64_t>(spc) * nactive > block.cols()) {
            if (failure.empty()) {
              failure = format(
                  "Packet #{0} of snapshot #{1} holds {2} samples, fewer than {3} samples per "
                  "channel for {4} active channels!",
                  k, label, block.cols(), spc, nactive);
            }
          } else {
            const std::int16_t* src = block.row(p);
            const std::uint64_t take =
                nsamp < NSAMP_MAX_PER_REC
                    ? std::min<std::uint64_t>(static_cast<std::uint64_t>(spc), NSAMP_MAX_PER_REC - nsamp)
                    : 0;
            std::size_t counter_ch = 0;
            for (std::size_t l = 0; l < NCHANNEL; ++l) {
              if (!active[l]) continue;
              if (take > 0) {
                std::memcpy(wave + (l * NSAMP_MAX_PER_REC + nsamp) * S,
                            src + counter_ch * static_cast<std::uint64_t>(spc), take * S);
              }
              ++counter_ch;
            }
          }
          ++j;
          if (spc > 0) nsamp = detail::saturating_add(nsamp, static_cast<std::uint64_t>(spc));
        } else {
          log.warning(format("Packet #{0} [{2}] is missing for snapshot #{1}!", k, i, cnt));
          spc = Traits::estimate(k, cnt, static_cast<std::int64_t>(length), static_cast<std::int64_t>(max_per_ch), spc);
          if (spc < 0) negative_estimate = true;
          else nsamp = detail::saturating_add(nsamp, static_cast<std::uint64_t>(spc));
        }
      }

      // Acceptance.
      if (failure.empty()) {
        if (nsamp > NSAMP_MAX_PER_REC) {
          failure = format("Total number of samples cannot exceed {1}, but {0} found in snapshot #{2}!", nsamp,
                           NSAMP_MAX_PER_REC, label);
        } else if (negative_estimate || nsamp != length) {
          failure = format("Unexpected total number of samples in snapshot #{0}!", label);
        } else {
          f_samps.store(rec, nsamp);
        }
      }
    }

    if (!failure.empty()) {
      report_unit(print_exception, task, PyExc_Exception, failure);
      const std::int16_t fill =
          convert::from<std::int16_t>(Value::from_python(c.CDFToFill.get()()("int16"), "the int16 fill value"));
      detail::fill_elements(wave, NCHANNEL * NSAMP_MAX_PER_REC, fill);
    }
  }
  return records.array();
}

}  // namespace dravel::tds
