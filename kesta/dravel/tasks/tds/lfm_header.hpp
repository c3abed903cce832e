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
// A conversion result of n numbers, read once as the widest type of its kind (float64, uint64
// or int64, with NumPy's conversions) and stored from there with NumPy's conversions.
class Numbers {
 public:
  Numbers() = default;
  explicit Numbers(const py::array& numbers) : kind_(numbers.dtype().kind()) {
    const char* type = kind_ == 'f' ? "float64" : kind_ == 'u' ? "uint64" : "int64";
    array_ = numpy().require(numbers.attr("astype")(type), py::none(), "CA");
    data_ = array_.data();
  }
  Value at(std::size_t i) const {
    if (kind_ == 'f') return Value::of(static_cast<const double*>(data_)[i]);
    if (kind_ == 'u') return Value::of(static_cast<const std::uint64_t*>(data_)[i]);
    return Value::of(static_cast<const std::int64_t*>(data_)[i]);
  }

 private:
  char kind_ = 'i';
  py::array array_;
  const void* data_ = nullptr;
};

// One record field (or element of one) taken from a per-packet column of its own element type:
// `size` bytes of packet i at `src + i * size` go to byte `at` of record i.
struct ColumnCopy {
  std::size_t at = 0, size = 0;
  const unsigned char* src = nullptr;
};
}  // namespace detail

// The packets of one LFM packet type in time order, and their records. The header parameters
// are read column by column as a product names them; all fields are then written in one pass
// over the records (write()), each record once, together with the product's data part.
class Header {
 public:
  // Steps common to both products: select the packet type, sort it by acquisition time, log the
  // packet count, allocate and fill the records, then convert the times of all packets (epoch,
  // then scet). Nothing when the store has no packets of the type.
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
    h.time_ = acquisition_time(h.group_, h.where_);
    const std::size_t n = h.time_.rows();
    log.debug(format("Number of packets: {0}", n));

    // Every byte is set by the fill values, so the array is not zeroed first.
    h.records_ = RecordArray::uninitialised(layout, n);
    c.fill_records.get()(h.records_.array());
    h.head_.emplace(h.records_);
    if (!h.head_->acquisition_time.holds<std::uint32_t>() || h.head_->acquisition_time.count != 2) {
      fail(PyExc_TypeError, "acquisition_time must be two uint32 words");
    }

    // The stored acquisition_time pairs equal the packets' [coarse, fine] words (uint32 both),
    // so each conversion is given a fresh array of those words.
    TimeService times(c.Time.get());
    h.epochs_ = detail::Numbers(TimeService::numbers(times.epochs(h.pairs()), "obt_to_utc", n));
    h.scets_ = detail::Numbers(TimeService::numbers(times.scets(h.pairs()), "cuc_to_scet", n));
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
      fail(PyExc_TypeError,
           format("parameter {0} cannot be read as an array: {1}", name, std::string(py::str(e.value()))));
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
    for (std::size_t k = 0; k < count; ++k) copy_column(f, column<std::uint8_t>(params[k]), k);
  }

  // A scalar field of every record from one parameter, read as T (the field's element type).
  template <class T>
  Column<T> scalar(const char* field, const char* param) {
    Column<T> c = column<T>(param);
    copy_column(records_.field(field), c);
    return c;
  }
  template <class T>
  void scalar(const char* field, const Column<T>& values) {
    copy_column(records_.field(field), values);
  }

  // Writes every record once: the header (survey_mode 0, epoch, acquisition_time,
  // synchro_flag, scet and the fields named by flags() and scalar()), then the product's data
  // part, `data(i, record)`. Returns the array.
  template <class Data>
  py::array write(Data&& data) {
    const HeaderFields& head = *head_;
    const std::size_t n = size();
    const std::size_t at_acq = head.acquisition_time.offset;
    char* base = n == 0 ? nullptr : records_.record(0);
    const std::size_t itemsize = records_.itemsize();
    for (std::size_t i = 0; i < n; ++i) {
      char* rec = base + i * itemsize;
      const std::uint32_t* t = time_.row(i);
      head.survey_mode.store(rec, 0);
      head.epoch.store(rec, epochs_.at(i));
      std::memcpy(rec + at_acq, t, 2 * sizeof(std::uint32_t));
      head.synchro_flag.store(rec, t[2]);
      head.scet.store(rec, scets_.at(i));
      for (const detail::ColumnCopy& c : copies_) std::memcpy(rec + c.at, c.src + i * c.size, c.size);
      data(i, rec);
    }
    return records_.array();
  }

 private:
  Header() = default;

  // The N x 2 [coarse, fine] words of the packets.
  py::array_t<std::uint32_t> pairs() const {
    const std::size_t n = time_.rows();
    py::array_t<std::uint32_t> out({static_cast<py::ssize_t>(n), py::ssize_t{2}});
    std::uint32_t* p = out.mutable_data();
    for (std::size_t i = 0; i < n; ++i) {
      p[2 * i] = time_.row(i)[0];
      p[2 * i + 1] = time_.row(i)[1];
    }
    return out;
  }

  // Element k of `field` in every record from `column` (kept alive until the records are
  // written); a field of another element type than the column's is written at once.
  template <class T>
  void copy_column(const Field& field, const Column<T>& column, std::size_t k = 0) {
    if (field.holds<T>() && k < field.count) {
      kept_.push_back(column.array());
      copies_.push_back(
          {field.offset + k * sizeof(T), sizeof(T), reinterpret_cast<const unsigned char*>(column.data())});
      return;
    }
    for (std::size_t i = 0; i < size(); ++i) field.store(records_.record(i), column.data()[i], k);
  }

  py::object group_;
  RecordArray records_;
  std::optional<HeaderFields> head_;
  Column<std::uint32_t> time_;
  detail::Numbers epochs_, scets_;
  std::vector<detail::ColumnCopy> copies_;
  std::vector<py::array> kept_;
  std::string where_;
};

}  // namespace dravel::tds::lfm
