// What every TDS decoder does first: find its packet type in the L0 store and put the packets
// in order; plus the record-layout notation the TDS record types are written in.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "errors.hpp"
#include "outside.hpp"
#include "packet_group.hpp"
#include "records.hpp"
#include "report.hpp"
#include "time_service.hpp"

namespace dravel::tds {
namespace py = pybind11;

// The components every TDS decoder calls.
struct Components : RecordComponents {
  Binding logger{"vantor.core.logger", "logger"};
  Binding sort_data{"kesta.dravel.tasks.utils", "sort_data"};
};

// Logs "Get data for <name>" and returns the packet type's packet group, or nothing when the
// store's TM group has no such packet type (the normal empty case).
inline std::optional<py::object> packet_group(py::handle l0, const std::string& name, const Logger& log) {
  log.debug("Get data for " + name);
  py::object tm = member(l0, "TM", "the L0 store");
  if (!has_member(tm, name, "the L0 store's TM group")) return std::nullopt;
  py::object packet_type = member(tm, name, "the L0 store's TM group");
  return member(packet_type, "source_data", "packet type " + name);
}

// A per-packet key for sort_data: column `col` of an N x 3 time parameter.
inline py::array_t<std::uint32_t> time_column(const Column<std::uint32_t>& time, std::size_t col) {
  py::array_t<std::uint32_t> out(static_cast<py::ssize_t>(time.rows()));
  std::uint32_t* dst = out.mutable_data();
  for (std::size_t p = 0; p < time.rows(); ++p) dst[p] = time.row(p)[col];
  return out;
}

// Reads PA_TDS_ACQUISITION_TIME (N x 3: coarse, fine, synchronisation flag).
inline Column<std::uint32_t> acquisition_time(py::handle group, const std::string& where) {
  Column<std::uint32_t> time(group, "PA_TDS_ACQUISITION_TIME", 2, where);
  time.expect_cols(3);
  return time;
}

// The packet group reordered by sort_data with `keys` (the last key primary).
inline py::object sorted_group(const py::object& sort_data, const py::object& group, const py::tuple& keys) {
  py::object result = sort_data(group, keys);
  if (!py::isinstance<py::tuple>(result) && !py::isinstance<py::list>(result)) {
    fail(PyExc_TypeError, format("sort_data returned {0}, not a pair", std::string(py::repr(result))));
  }
  py::sequence pair = result;
  if (pair.size() < 1) fail(PyExc_TypeError, "sort_data returned an empty sequence");
  return pair[0];
}

// The fields every TDS record type opens with, in this order.
inline py::list record_header_entries() {
  py::list l;
  l.append(entry("epoch", "uint64"));
  l.append(entry("scet", "float64"));
  l.append(entry("acquisition_time", "uint32", 2));
  l.append(entry("synchro_flag", "uint8"));
  l.append(entry("quality_flag", "uint8"));
  l.append(entry("quality_bitmask", "uint16"));
  l.append(entry("survey_mode", "uint8"));
  l.append(entry("bia_status_info", "uint8", 6));
  return l;
}

// The header fields every TDS record type opens with, resolved in its layout.
struct HeaderFields {
  Field epoch, scet, acquisition_time, synchro_flag, survey_mode, bia_status_info;

  explicit HeaderFields(const RecordArray& records)
      : epoch(records.field("epoch")),
        scet(records.field("scet")),
        acquisition_time(records.field("acquisition_time")),
        synchro_flag(records.field("synchro_flag")),
        survey_mode(records.field("survey_mode")),
        bia_status_info(records.field("bia_status_info")) {}

  // The times of record `rec` from a packet's time words t = [coarse, fine, synchronisation
  // flag]: the pair, its TT2000 epoch, the flag and its spacecraft elapsed time. The stored
  // pair (uint32 words) equals the packet's, so both conversions get one read-only pair array.
  void store_times(char* rec, const std::uint32_t* t, const TimeService& times) const {
    acquisition_time.store(rec, t[0], 0);
    acquisition_time.store(rec, t[1], 1);
    const py::array pair = TimeService::shared_pair(t[0], t[1]);
    epoch.store(rec, times.epoch(pair));
    synchro_flag.store(rec, t[2]);
    scet.store(rec, times.scet(pair));
  }
};

// TDS sampling rates in samples per second, by sampling-rate code.
inline constexpr double SAMPLING_RATES[5] = {65534.375, 131068.75, 262137.5, 524275.0, 2097100.0};
constexpr std::size_t NRATES = 5;

// The sampling rate of `code`; a code outside 0 to 4 fails with `error` and the text
// `pattern()` ({0}: the code), which is only made then.
template <class Pattern>
double sampling_rate(std::int64_t code, PyObject* error, Pattern&& pattern) {
  if (code < 0 || code >= static_cast<std::int64_t>(NRATES)) fail(error, format(pattern(), code));
  return SAMPLING_RATES[static_cast<std::size_t>(code)];
}

// The table as a list indexed by code, and as a mapping keyed by the code's decimal text.
inline py::list sampling_rate_list() {
  py::list rates;
  for (double rate : SAMPLING_RATES) rates.append(rate);
  return rates;
}
inline py::dict sampling_rate_enum() {
  py::dict rates;
  for (std::size_t code = 0; code < NRATES; ++code) rates[py::str(std::to_string(code))] = SAMPLING_RATES[code];
  return rates;
}

// Bias-unit flags in the order of bia_status_info in the snapshot and LFM records.
inline constexpr const char* BIA_PARAMS[6] = {
    "PA_BIA_ON_OFF",          "PA_BIA_MODE_BIAS3_ENABLED", "PA_BIA_MODE_BIAS2_ENABLED", "PA_BIA_MODE_BIAS1_ENABLED",
    "PA_BIA_MODE_HV_ENABLED", "PA_BIA_MODE_MUX_SET"};

}  // namespace dravel::tds
