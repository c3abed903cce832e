// What the TNR and HFR calibration decoders share: the components both call, the packet walk
// (one packet record per packet, a packet that fails is reported and keeps an all-zero row), the
// consumed-size rule, the command words of the packet header, the record allocation and the L1
// fields that both write the same way.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "outside.hpp"
#include "packet_group.hpp"
#include "records.hpp"
#include "report.hpp"
#include "thr_packets.hpp"
#include "time_service.hpp"

namespace dravel::thr::calibration {
namespace py = pybind11;

// Calibration levels per packet.
constexpr std::size_t NLEVELS = 9;
// survey_mode of every calibration record.
constexpr std::uint8_t SURVEY_MODE = 2;

// Components both calibration decoders call.
struct CommonComponents {
  Binding Data{"quorel.packet_structure.data", "Data"};
  Binding Time{"quorel.time", "Time"};
  Binding set_fillval{"tesmo.converters.cdf_fill", "fill_records"};
  Binding print_exception{"vantor.core.tools.exceptions", "print_exception"};
  Binding voltages{"kesta.dravel.tasks.thr.science_tools", "voltages"};
  Binding input_setup{"kesta.dravel.tasks.thr.science_tools", "input_setup"};
  Binding do_analysis{"kesta.dravel.tasks.thr.science_tools", "do_analysis"};
  Binding voltages_dtype{"kesta.dravel.tasks.thr.science_tools", "voltages_dtype"};
  Binding input_setup_dtype{"kesta.dravel.tasks.thr.science_tools", "input_setup_dtype"};
  Binding do_analysis_dtype{"kesta.dravel.tasks.thr.science_tools", "do_analysis_dtype"};
};

// Layout entries: (name, type) and (name, type, shape).
inline py::tuple entry(const char* name, py::object type) { return py::make_tuple(name, std::move(type)); }
inline py::tuple entry(const char* name, const char* type) { return py::make_tuple(name, type); }
template <class... Dims>
py::tuple entry(const char* name, const char* type, Dims... dims) {
  return py::make_tuple(name, type, py::make_tuple(dims...));
}

// Name of the field of calibration level k ("0" to "8").
inline std::string level_name(std::size_t k) { return format("{0}", k); }

// Bytes a packet's data field takes: the fixed header, the whole bytes of the bit-packed values
// (a trailing partial byte is not counted) and one pad byte when that count is odd.
inline std::uint64_t consumed_size(std::uint64_t offset, std::uint64_t header, std::uint64_t bit_count) {
  const std::uint64_t n = bit_count / 8;
  return offset + header + n + n % 2;
}

// A decoded command word: a tuple, or None when the helper has nothing to say.
inline py::object command(py::object result, const char* what) {
  if (!result.is_none() && !py::isinstance<py::tuple>(result)) {
    fail(PyExc_TypeError, format("{0} returned {1}, not a tuple", what,
                                 std::string(py::str(py::type::handle_of(result).attr("__name__")))));
  }
  return result;
}

// Item k of a command word.
inline py::object item_of(const py::object& cmd, std::size_t k, const char* what) {
  if (cmd.is_none()) fail(PyExc_TypeError, format("{0} returned None, item {1} is needed", what, k));
  return item(py::reinterpret_borrow<py::tuple>(cmd), k, what);
}

// fn(args...) through the vector call protocol (no argument tuple is built per call).
template <class... Args>
py::object vcall(py::handle fn, const Args&... args) {
  PyObject* argv[] = {py::handle(args).ptr()...};
  PyObject* result = PyObject_Vectorcall(fn.ptr(), argv, sizeof...(Args), nullptr);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

inline py::object to_python(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Int: return py::int_(v.i);
    case Value::Kind::UInt: return py::int_(v.u);
    case Value::Kind::Float: return py::float_(v.f);
  }
  return py::none();
}

inline bool equals_one(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Int: return v.i == 1;
    case Value::Kind::UInt: return v.u == 1;
    case Value::Kind::Float: return v.f == 1.0;
  }
  return false;
}

// The sub-field `name` of a sub-record field (already resolved with it).
inline const Field& child(const Field& record, const std::string& name) {
  const std::string path = record.path + "." + name;
  for (const Field& c : record.children) {
    if (c.path == path) return c;
  }
  fail(PyExc_KeyError, format("record layout has no field '{0}'", path));
}

// The packet group's parameters a calibration decoder reads.
struct PacketParams {
  const char* count;  // word count per packet; its length is the packet count
  const char* data;   // data words, one row per packet
};

// Decodes every packet of `group` into one record of `layout` (zero-initialised).
//
// Per packet: the reader over its data words goes to decode(reader), which calls the helpers and
// returns the consumed size in bytes; a size that is not twice the word count raises
// `size_error`; then store(record, time) writes the packet record. Any failure of a packet is
// reported through print_exception and task.exception, and its record is left all zero.
// A missing or malformed word-count parameter ends the call; every other parameter is read per
// packet.
template <class Decode, class Store>
RecordArray decode_packets(const CommonComponents& c, py::handle group, py::handle task, const PacketParams& params,
                           const py::dtype& layout, PyObject* size_error, Decode&& decode, Store&& store) {
  Column<std::int64_t> counts(group, params.count, 1);
  const std::size_t npackets = counts.rows();
  RecordArray packets = RecordArray::zeros(layout, npackets);
  PacketColumn<std::uint16_t> words(group, params.data, 2);
  PacketColumn<std::uint32_t> times(group, "PA_THR_ACQUISITION_TIME", 2);
  const py::object Data = c.Data.get();
  const py::object print_exception = c.print_exception.get();

  for_each_packet(npackets, print_exception, task, [&](std::size_t i) {
    char* rec = packets.record(i);
    try {
      const std::int64_t size = counts.at(i);
      if (size < 0) {
        fail(PyExc_ValueError, format("{0} of packet {1} is {2}, not a word count", params.count, i, size));
      }
      const py::object reader = packet_reader(Data, words.get(), i, static_cast<std::uint64_t>(size));
      const Column<std::uint32_t>& time = times.get();
      time.expect_cols(3);
      const std::uint32_t* t = time.row(i);
      const std::uint64_t consumed = decode(reader);
      const std::uint64_t declared = 2 * static_cast<std::uint64_t>(size);
      if (consumed != declared) fail(size_error, format("Expected a size of {0} bytes but have {1}", declared, consumed));
      store(rec, t);
    } catch (...) {
      std::memset(rec, 0, packets.itemsize());
      throw;
    }
  });
  return packets;
}

// `number` records of the L1 layout `description`, every field set to its fill value.
inline RecordArray fill_valued_records(const CommonComponents& c, py::handle description, std::size_t number) {
  RecordArray records = RecordArray::uninitialised(make_layout(description), number);
  c.set_fillval.get()(records.array());
  return records;
}

// Packet record fields of the header both calibration packets have.
struct PacketHeader {
  Field temperature_pcb, acquisition_time, minus5, plus5, plus12, fe, sensor_1, sensor_2, ch1, ch2;
  FieldSlots voltages, input_setup, do_analysis;

  explicit PacketHeader(const py::dtype& layout)
      : temperature_pcb(Field::resolve(layout, "temperature_pcb")),
        acquisition_time(Field::resolve(layout, "acquisition_time")),
        minus5(Field::resolve(layout, "voltages.minus5")),
        plus5(Field::resolve(layout, "voltages.plus5")),
        plus12(Field::resolve(layout, "voltages.plus12")),
        fe(Field::resolve(layout, "input_setup.fe")),
        sensor_1(Field::resolve(layout, "input_setup.sensor_tnr_1")),
        sensor_2(Field::resolve(layout, "input_setup.sensor_tnr_2")),
        ch1(Field::resolve(layout, "do_analysis.ch1")),
        ch2(Field::resolve(layout, "do_analysis.ch2")),
        voltages(Field::resolve(layout, "voltages")),
        input_setup(Field::resolve(layout, "input_setup")),
        do_analysis(Field::resolve(layout, "do_analysis")) {}

  // The acquisition time words go in as given (coarse, fine, synchronisation flag).
  void store_time(char* rec, const std::uint32_t* t) const {
    for (std::size_t k = 0; k < 3; ++k) acquisition_time.store(rec, t[k], k);
  }
};

// The helper results of a packet's header, as decoded.
struct HeaderValues {
  py::object temperature_pcb, voltages, input_setup, do_analysis;

  void store(const PacketHeader& h, char* rec) const {
    h.temperature_pcb.store(rec, Value::from_python(temperature_pcb, "temperature_pcb"));
    h.voltages.store(rec, voltages);
    h.input_setup.store(rec, input_setup);
    h.do_analysis.store(rec, do_analysis);
  }
};

// Output fields both calibration record types have and fill the same way.
struct CommonOutput {
  Field epoch, acquisition_time, scet, synchro_flag, survey_mode, average_nr, channel_status, calibration_level,
      front_end, sensor_config, temperature;

  explicit CommonOutput(const RecordArray& records)
      : epoch(records.field("epoch")),
        acquisition_time(records.field("acquisition_time")),
        scet(records.field("scet")),
        synchro_flag(records.field("synchro_flag")),
        survey_mode(records.field("survey_mode")),
        average_nr(records.field("average_nr")),
        channel_status(records.field("channel_status")),
        calibration_level(records.field("calibration_level")),
        front_end(records.field("front_end")),
        sensor_config(records.field("sensor_config")),
        temperature(records.field("temperature")) {}
};

// The number a time-service conversion gives for one pair. A one-element NumPy array (what the
// service returns) is read in place; anything else goes through the general conversion.
inline Value time_value(py::object result, const char* what) {
  if (py::isinstance<py::array>(result)) {
    const py::array arr = py::reinterpret_borrow<py::array>(result);
    const py::dtype dt = arr.dtype();
    const char order = dt.byteorder();
    const bool native = order == '=' || order == '|' || (order == '<') == (std::endian::native == std::endian::little);
    if (arr.size() == 1 && native) {
      const char kind = dt.kind();
      const auto size = dt.itemsize();
      const char* p = static_cast<const char*>(arr.data());
      if (kind == 'f' && size == 8) return load_elem(p, Elem::F8, false);
      if (kind == 'f' && size == 4) return load_elem(p, Elem::F4, false);
      if (kind == 'i' && size == 8) return load_elem(p, Elem::I8, false);
      if (kind == 'u' && size == 8) return load_elem(p, Elem::U8, false);
    }
  }
  py::array numbers = TimeService::numbers(std::move(result), what, 1);
  return Value::from_python(numbers[py::int_(0)], std::string("the time service's ") + what);
}

// A one-row array holding [coarse, fine], read-only: it is handed to every conversion of the
// records of one band, and no conversion may change it for the next.
inline py::array time_pair(std::uint32_t coarse, std::uint32_t fine) {
  py::array pair = TimeService::pair(coarse, fine);
  py::detail::array_proxy(pair.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return pair;
}

// `cuc_to_scet` of the time service class, looked up once per decoder call.
inline py::object scet_conversion(const py::object& time_class) { return time_class.attr("cuc_to_scet"); }

inline Value scet_of(const py::object& cuc_to_scet, const py::array& pair) {
  return time_value(vcall(cuc_to_scet, pair), "cuc_to_scet");
}

// What one packet record gives every record of one band.
struct PacketValues {
  std::uint32_t coarse = 0, fine = 0;
  Value synchro, channel_1, channel_2, front_end, sensor_1, sensor_2;
  Value temperature[4];

  PacketValues(const PacketHeader& h, const char* packet) {
    coarse = convert::from<std::uint32_t>(h.acquisition_time.load(packet, 0));
    fine = convert::from<std::uint32_t>(h.acquisition_time.load(packet, 1));
    synchro = h.acquisition_time.load(packet, 2);
    channel_1 = h.ch1.load(packet);
    channel_2 = h.ch2.load(packet);
    front_end = h.fe.load(packet);
    sensor_1 = h.sensor_1.load(packet);
    sensor_2 = h.sensor_2.load(packet);
    temperature[0] = h.temperature_pcb.load(packet);
    temperature[1] = h.minus5.load(packet);
    temperature[2] = h.plus5.load(packet);
    temperature[3] = h.plus12.load(packet);
  }

  // The TT2000 epoch of the packet's time (`pair`), through a double as the records keep it.
  static Value epoch(const TimeService& times, const py::array& pair) {
    return Value::of(convert::from<double>(time_value(times.epochs(pair), "obt_to_utc")));
  }
};

// Component names a decoder module shows as its own attributes: each is looked up on its module
// when read, so it is always the component the decoder calls.
inline void show_components(py::module_& m, std::vector<std::pair<const char*, const Binding*>> names) {
  py::object module_getattr = py::cpp_function(
      [names, module_name = std::string(py::str(m.attr("__name__")))](const std::string& name) -> py::object {
        for (const auto& [shown, binding] : names) {
          if (name == shown) return binding->get();
        }
        throw py::attribute_error(format("module '{0}' has no attribute '{1}'", module_name, name));
      },
      py::arg("name"));
  m.attr("__getattr__") = module_getattr;
}

// An error class derived directly from Exception, with its description as docstring. The class
// lives as long as the module (and the process).
inline PyObject* error_class(py::module_& m, const char* name, const char* doc) {
  const std::string qualified = std::string(py::str(m.attr("__name__"))) + "." + name;
  PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, PyExc_Exception, nullptr);
  if (cls == nullptr) throw py::error_already_set();
  m.attr(name) = py::reinterpret_borrow<py::object>(cls);  // the class keeps its own reference
  return cls;
}

}  // namespace dravel::thr::calibration
