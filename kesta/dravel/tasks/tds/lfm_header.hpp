// Low-frequency-mode products (spectral matrices, power spectral densities): one record per
// packet, the header parameters copied column by column for all packets at once, the times of
// all packets converted in one call each. The modules then unpack their data blocks per packet.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "outside.hpp"
#include "packet_group.hpp"
#include "records.hpp"
#include "report.hpp"
#include "tds_store.hpp"
#include "time_service.hpp"

namespace dravel::tds::lfm {
namespace py = pybind11;

// Outside components of the LFM decoders.
using Components = tds::Components;

constexpr std::size_t NFREQ_MAX = 200;

// LF artefact and subsystem-off flags, in the order of lf_data_artefacts.
inline constexpr std::initializer_list<const char*> ARTEFACT_PARAMS = {
    "PA_TDS_LF_ART_CH1_OR",     "PA_TDS_LF_ART_CH2_OR",    "PA_TDS_LF_ART_CH3_OR",   "PA_TDS_LF_ART_CH4_OR",
    "PA_TDS_LF_ART_CH5_OR",     "PA_TDS_LF_ART_CH6_OR",    "PA_TDS_LF_ART_CH7_OR",   "PA_TDS_LF_ART_CH8_OR",
    "PA_TDS_LF_ART_MAG_HEATER", "PA_TDS_LF_ART_SCM_CALIB", "PA_TDS_LF_ART_ANT3_OFF", "PA_TDS_LF_ART_ANT2_OFF",
    "PA_TDS_LF_ART_ANT1_OFF",   "PA_TDS_LF_ART_SCM_OFF",   "PA_TDS_LF_ART_THR_OFF",  "PA_TDS_LF_ART_LFR_OFF"};

// The fields both LFM record types open with.
inline py::list header_entries() {
  py::list l = record_header_entries();
  l.append(entry("lf_data_artefacts", "uint8", 16));
  l.append(entry("input_config", "uint8", 6));
  return l;
}

namespace detail {
// Stores a conversion result (n numbers) into `field` of every record, with NumPy's conversions.
inline void store_numbers(RecordArray& records, const Field& field, const py::array& numbers) {
  const std::size_t n = records.size();
  switch (numbers.dtype().kind()) {
    case 'f': {
      py::array_t<double> v = numbers.attr("astype")("float64");
      for (std::size_t i = 0; i < n; ++i) field.store(records.record(i), Value::of(v.at(i)));
      break;
    }
    case 'u': {
      py::array_t<std::uint64_t> v = numbers.attr("astype")("uint64");
      for (std::size_t i = 0; i < n; ++i) field.store(records.record(i), Value::of(v.at(i)));
      break;
    }
    default: {
      py::array_t<std::int64_t> v = numbers.attr("astype")("int64");
      for (std::size_t i = 0; i < n; ++i) field.store(records.record(i), Value::of(v.at(i)));
      break;
    }
  }
}

// Element k of `field` in every record from a column of the field's own element type.
template <class T>
void store_column(RecordArray& records, const Field& field, const Column<T>& column, std::size_t k = 0) {
  const std::size_t n = records.size();
  if (field.holds<T>() && k < field.count) {
    const std::size_t at = field.offset + k * sizeof(T);
    for (std::size_t i = 0; i < n; ++i) std::memcpy(records.record(i) + at, column.data() + i, sizeof(T));
  } else {
    for (std::size_t i = 0; i < n; ++i) field.store(records.record(i), column.data()[i], k);
  }
}
}  // namespace detail

// The packets of one LFM packet type in time order, and their records with the header written.
class Header {
 public:
  // Steps common to both products: select the packet type, sort it by acquisition time, log the
  // packet count, allocate and fill the records, then write survey_mode, epoch,
  // acquisition_time, synchro_flag and scet for all packets at once. Nothing when the store
  // has no packets of the type.
  static std::optional<Header> open(py::handle l0, const char* packet, const py::dtype& layout) {
    const Components& c = bindings<Components>();
    Logger log(c.logger.get());
    std::optional<py::object> found = packet_group(l0, packet, log);
    if (!found) return std::nullopt;

    Header h;
    h.where_ = std::string("packet type ") + packet;
    {
      Column<std::uint32_t> time = acquisition_time(*found, h.where_);
      h.group_ = sorted_group(c.sort_data.get(), *found, py::make_tuple(time_column(time, 1), time_column(time, 0)));
    }
    Column<std::uint32_t> time = acquisition_time(h.group_, h.where_);
    const std::size_t n = time.rows();
    log.debug(format("Number of packets: {0}", n));

    h.records_ = RecordArray::zeros(layout, n);
    c.fill_records.get()(h.records_.array());
    RecordArray& records = h.records_;

    const HeaderFields head(records);
    const Field &f_epoch = head.epoch, &f_acq = head.acquisition_time, &f_sync = head.synchro_flag;
    for (std::size_t i = 0; i < n; ++i) head.survey_mode.store(records.record(i), 0);

    TimeService times(c.Time.get());
    py::array_t<std::uint32_t> pairs({static_cast<py::ssize_t>(n), py::ssize_t{2}});
    std::uint32_t* pp = pairs.mutable_data();
    for (std::size_t i = 0; i < n; ++i) {
      pp[2 * i] = time.row(i)[0];
      pp[2 * i + 1] = time.row(i)[1];
    }
    detail::store_numbers(records, f_epoch, TimeService::numbers(times.epochs(pairs), "obt_to_utc", n));

    py::array_t<std::uint32_t> stored({static_cast<py::ssize_t>(n), py::ssize_t{2}});
    std::uint32_t* sp = stored.mutable_data();
    for (std::size_t i = 0; i < n; ++i) {
      char* rec = records.record(i);
      f_acq.store(rec, time.row(i)[0], 0);
      f_acq.store(rec, time.row(i)[1], 1);
      f_sync.store(rec, time.row(i)[2]);
      sp[2 * i] = static_cast<std::uint32_t>(f_acq.load(rec, 0).u);
      sp[2 * i + 1] = static_cast<std::uint32_t>(f_acq.load(rec, 1).u);
    }
    detail::store_numbers(records, head.scet, TimeService::numbers(times.scets(stored), "cuc_to_scet", n));
    return h;
  }

  RecordArray& records() { return records_; }
  std::size_t size() const { return records_.size(); }
  const std::string& where() const { return where_; }

  // Parameter `name`, one value (ndim 1) or one row (ndim 2) per packet.
  template <class T>
  Column<T> column(const char* name, int ndim = 1) const {
    return dravel::column<T>(group_, name, ndim, size(), where_);
  }
  // The parameter as the packet group holds it, converted to an array but not to a type.
  py::array raw(const char* name) const {
    py::object value = member(group_, name, where_);
    try {
      return numpy().asarray(value);
    } catch (py::error_already_set& e) {
      fail(PyExc_TypeError, format("parameter {0} cannot be read as an array: {1}", name,
                                   std::string(py::str(e.value()))));
    }
  }
  // A column of an array already read by raw().
  template <class T>
  Column<T> column(const py::array& array, const char* name, int ndim = 1) const {
    return column_of<T>(array, name, ndim, size(), where_);
  }

  // A flag-array field: element k of every record from the k-th parameter.
  void flags(const char* field, std::initializer_list<const char*> params) {
    flags(field, params.begin(), params.size());
  }
  template <std::size_t K>
  void flags(const char* field, const char* const (&params)[K]) {
    flags(field, params, K);
  }
  void flags(const char* field, const char* const* params, std::size_t count) {
    const Field f = records_.field(field);
    if (f.count != count) {
      fail(PyExc_TypeError, format("field '{0}' holds {1} flags, not {2}", field, f.count, count));
    }
    for (std::size_t k = 0; k < count; ++k) detail::store_column(records_, f, column<std::uint8_t>(params[k]), k);
  }

  // A scalar field of every record from one parameter, read as T (the field's element type).
  template <class T>
  Column<T> scalar(const char* field, const char* param) {
    Column<T> c = column<T>(param);
    detail::store_column(records_, records_.field(field), c);
    return c;
  }
  template <class T>
  void scalar(const char* field, const Column<T>& values) {
    detail::store_column(records_, records_.field(field), values);
  }

 private:
  Header() = default;

  py::object group_;
  RecordArray records_;
  std::string where_;
};

}  // namespace dravel::tds::lfm
