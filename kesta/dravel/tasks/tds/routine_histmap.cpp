// TDS 2-D histograms: one HIST2D record per histogram, its count matrix put back together from
// the chunks carried by consecutive packets.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

#include "errors.hpp"
#include "module.hpp"
#include "outside.hpp"
#include "packet_group.hpp"
#include "records.hpp"
#include "report.hpp"
#include "tds_store.hpp"
#include "time_service.hpp"

namespace py = pybind11;
using namespace dravel;

namespace {

const char* const PACKET = "TM_TDS_SCIENCE_ROUTINE_HISTMAP";
constexpr std::size_t COUNTS_SIDE = 128;
constexpr std::int64_t U16_MAX = std::numeric_limits<std::uint16_t>::max();

struct Components : tds::Components {
  Binding group{"kesta.dravel.tasks.tds.utils", "group"};
};

// Bias-unit flags in the order of bia_status_info (this product lists them from the multiplexer
// setting down to the on/off flag).
const char* const HIST2D_BIA_PARAMS[6] = {"PA_BIA_MODE_MUX_SET",       "PA_BIA_MODE_HV_ENABLED",
                                          "PA_BIA_MODE_BIAS1_ENABLED", "PA_BIA_MODE_BIAS2_ENABLED",
                                          "PA_BIA_MODE_BIAS3_ENABLED", "PA_BIA_ON_OFF"};
const char* const CHANNEL_PARAMS[4] = {"PA_TDS_STAT_ADC_CH1", "PA_TDS_STAT_ADC_CH2", "PA_TDS_STAT_ADC_CH3",
                                       "PA_TDS_STAT_ADC_CH4"};

py::dtype& hist2d() {
  static py::dtype* layout = [] {
    py::list l = tds::record_header_entries();
    l.append(entry("channel_status_info", "uint8", 4));
    l.append(entry("sampling_rate", "float32"));
    l.append(entry("input_config", "uint32"));
    l.append(entry("snapshot_len", "uint8"));
    l.append(entry("hist2d_id", "uint8"));
    l.append(entry("hist2d_params", "uint8"));
    l.append(entry("hist2d_axis1", "uint8"));
    l.append(entry("hist2d_axis2", "uint8"));
    l.append(entry("hist2d_col_time", "uint16"));
    l.append(entry("hist2d_bins1", "uint8"));
    l.append(entry("hist2d_bins2", "uint8"));
    l.append(entry("hist2d_tot_pts", "uint16"));
    l.append(entry("hist2d_counts", "uint16", COUNTS_SIDE, COUNTS_SIDE));
    return new py::dtype(make_layout(l));
  }();
  return *layout;
}

// Record indices from `group`: one per packet, each below the record count.
struct Grouping {
  Column<std::uint64_t> groups;
  std::size_t size = 0;
};

// The bytes of memory of this machine, or 0 when the system does not say.
std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  return pages > 0 && page > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) : 0;
}

// A record index per packet below the record count. A conforming `group` may leave indices
// unused, so the count may exceed the number of distinct indices: every one of its records is
// allocated (unused ones keep their fill values); only a count whose records cannot fit in
// memory is refused.
Grouping group_packets(const py::object& group_fn, const py::object& pkt_nr, std::size_t npackets) {
  const auto [groups, size] = pair_result(group_fn(pkt_nr), "group", "(groups, size)");
  Grouping g;
  g.groups = column_of<std::uint64_t>(groups, "groups", 1, npackets, "group's result");
  const Value count = Value::from_python(size, "group's record count");
  if ((count.kind == Value::Kind::Int && count.i < 0) || count.kind == Value::Kind::Float) {
    fail(PyExc_ValueError, format("group's record count {0} is not a count of records", std::string(py::str(size))));
  }
  const std::uint64_t n = count.kind == Value::Kind::Int ? static_cast<std::uint64_t>(count.i) : count.u;
  const auto bytes = static_cast<unsigned __int128>(n) * static_cast<std::uint64_t>(hist2d().itemsize());
  const std::uint64_t memory = physical_memory();
  if (bytes > std::numeric_limits<std::size_t>::max() / 2 || (memory != 0 && bytes > memory)) {
    fail(PyExc_MemoryError, format("group's record count {0} asks for {0} HIST2D records of {1} bytes each, more "
                                   "memory than the {2} bytes of this machine",
                                   n, hist2d().itemsize(), memory));
  }
  g.size = static_cast<std::size_t>(n);
  for (std::size_t p = 0; p < npackets; ++p) {
    if (g.groups.data()[p] >= g.size) {
      fail(PyExc_IndexError,
           format("group put packet {0} into record {1}, beyond its {2} records", p, g.groups.data()[p], g.size));
    }
  }
  return g;
}

// Buffer rows of `ny` counts into the first `nx` rows of a 128 x 128 count matrix at `cells`
// (packed records: any byte offset). An element loop the compiler turns into vector moves; a
// short copy of variable length would otherwise become a slow string instruction.
void copy_rows(char* cells, const std::uint16_t* buffer, std::size_t nx, std::size_t ny) {
  for (std::size_t i = 0; i < nx; ++i) {
    unsigned char* __restrict dst = reinterpret_cast<unsigned char*>(cells) + i * COUNTS_SIDE * sizeof(std::uint16_t);
    const auto* __restrict src = reinterpret_cast<const unsigned char*>(buffer + i * ny);
    for (std::size_t b = 0; b < ny * sizeof(std::uint16_t); ++b) dst[b] = src[b];
  }
}

py::array set_hist2d(py::object l0, py::object /*task*/) {
  const Components& c = bindings<Components>();
  Logger log(c.logger.get());
  std::optional<py::object> found = tds::packet_group(l0, PACKET, log);
  if (!found) return numpy().zeros(0, hist2d());
  const std::string where = std::string("packet type ") + PACKET;

  // Time order.
  py::object tm;
  {
    Column<std::uint32_t> time = tds::acquisition_time(*found, where);
    tm = tds::sorted_group(c.sort_data.get(), *found,
                           py::make_tuple(tds::time_column(time, 1), tds::time_column(time, 0)));
  }

  // Histograms.
  Column<std::uint32_t> time = tds::acquisition_time(tm, where);
  const std::size_t npackets = time.rows();
  py::object pkt_nr_param = numpy().asarray(member(tm, "PA_TDS_HIST2D_PKT_NR", where));
  const Grouping grouping = group_packets(c.group.get(), pkt_nr_param, npackets);

  // Every byte is set by the fill values, so the array is not zeroed first.
  RecordArray records = RecordArray::uninitialised(hist2d(), grouping.size);
  c.fill_records.get()(records.array());
  if (npackets == 0) return records.array();

  auto pkt_nr = column<std::int64_t>(tm, "PA_TDS_HIST2D_PKT_NR", 1, npackets, where);
  auto pkt_cnt = column<std::int64_t>(tm, "PA_TDS_HIST2D_PKT_CNT", 1, npackets, where);
  auto data_nr = column<std::int64_t>(tm, "PA_TDS_SC_HIST2D_DATA_NR", 1, npackets, where);
  auto counts = column<std::uint16_t>(tm, "PA_TDS_SC_HIST2D_DATA", 2, npackets, where);
  auto rate_code = column<std::int64_t>(tm, "PA_TDS_STAT_SAMP_RATE", 1, npackets, where);
  auto input_config = column<std::uint32_t>(tm, "PA_TDS_SWF_HF_CH_CONF", 1, npackets, where);
  auto snapshot_len = column<std::uint8_t>(tm, "PA_TDS_SNAPSHOT_LEN", 1, npackets, where);
  auto hist_id = column<std::uint8_t>(tm, "PA_TDS_SC_HIST2D_ID", 1, npackets, where);
  auto hist_params = column<std::uint8_t>(tm, "PA_TDS_SC_HIST2D_PARAMS", 1, npackets, where);
  auto axis1 = column<std::uint8_t>(tm, "PA_TDS_SC_HIST2D_PAR1_AXIS", 1, npackets, where);
  auto axis2 = column<std::uint8_t>(tm, "PA_TDS_SC_HIST2D_PAR2_AXIS", 1, npackets, where);
  auto bins1 = column<std::uint8_t>(tm, "PA_TDS_SC_HIST2D_PAR1_BINS", 1, npackets, where);
  auto bins2 = column<std::uint8_t>(tm, "PA_TDS_SC_HIST2D_PAR2_BINS", 1, npackets, where);
  auto col_time = column<std::uint16_t>(tm, "PA_TDS_SC_HIST2D_COLL_TIME", 1, npackets, where);
  auto tot_pts = column<std::uint16_t>(tm, "PA_TDS_SC_HIST2D_TOT_POINTS", 1, npackets, where);
  std::vector<Column<std::uint8_t>> bia, channels;
  for (const char* name : HIST2D_BIA_PARAMS) bia.push_back(column<std::uint8_t>(tm, name, 1, npackets, where));
  for (const char* name : CHANNEL_PARAMS) channels.push_back(column<std::uint8_t>(tm, name, 1, npackets, where));

  const tds::HeaderFields head(records);
  const Field f_channels = records.field("channel_status_info"), f_rate = records.field("sampling_rate"),
              f_input = records.field("input_config"), f_snapshot_len = records.field("snapshot_len"),
              f_id = records.field("hist2d_id"), f_params = records.field("hist2d_params"),
              f_axis1 = records.field("hist2d_axis1"), f_axis2 = records.field("hist2d_axis2"),
              f_bins1 = records.field("hist2d_bins1"), f_bins2 = records.field("hist2d_bins2"),
              f_col_time = records.field("hist2d_col_time"), f_tot_pts = records.field("hist2d_tot_pts"),
              f_counts = records.field("hist2d_counts");
  if (!f_counts.holds<std::uint16_t>() || f_counts.count != COUNTS_SIDE * COUNTS_SIDE) {
    fail(PyExc_TypeError, "hist2d_counts must be uint16 of 128 x 128 counts");
  }

  TimeService times(c.Time.get());
  const std::uint64_t* groups = grouping.groups.data();
  // The per-packet texts are built only when the logger keeps debug records.
  const bool debug = log.debug_enabled();

  std::uint64_t r = std::numeric_limits<std::uint64_t>::max();
  char* rec = nullptr;
  std::uint16_t nx = 0, ny = 0, matrix_size = 0, data_space = 0;
  std::vector<std::uint16_t> buffer;
  bool final_seen = false;

  for (std::size_t p = 0; p < npackets; ++p) {
    if (groups[p] != r) {
      r = groups[p];
      rec = records.record(static_cast<std::size_t>(r));

      // Header, from the record's first packet.
      head.store_times(rec, time.row(p), times);
      for (std::size_t k = 0; k < bia.size(); ++k) head.bia_status_info.store(rec, bia[k].at(p), k);
      for (std::size_t k = 0; k < channels.size(); ++k) f_channels.store(rec, channels[k].at(p), k);
      head.survey_mode.store(rec, 3);
      f_rate.store(rec, tds::sampling_rate(rate_code.at(p), PyExc_IndexError, [&] {
                     return format(
                         "PA_TDS_STAT_SAMP_RATE of packet {0} (histogram {1}) is {2}, not a sampling-rate "
                         "code of 0 to 4",
                         p, r, "{0}");
                   }));
      f_input.store(rec, input_config.at(p));
      f_snapshot_len.store(rec, snapshot_len.at(p));
      f_id.store(rec, hist_id.at(p));
      f_params.store(rec, hist_params.at(p));
      f_axis1.store(rec, axis1.at(p));
      f_axis2.store(rec, axis2.at(p));
      f_bins1.store(rec, bins1.at(p));
      f_bins2.store(rec, bins2.at(p));
      f_col_time.store(rec, col_time.at(p));
      f_tot_pts.store(rec, tot_pts.at(p));

      nx = static_cast<std::uint16_t>(f_bins1.load(rec).u);
      ny = static_cast<std::uint16_t>(f_bins2.load(rec).u);
      matrix_size = static_cast<std::uint16_t>(nx * ny);
      if (debug) log.debug(format("Matrix size for packet {0} is {1}", p, matrix_size));
      buffer.assign(matrix_size, 0);
      final_seen = false;

      // The chunk length shared by the histogram's packets. When the first packet seen is the
      // final chunk, the other chunks share one length and the final one holds the rest.
      std::int64_t space = data_nr.at(p);
      const std::int64_t cnt = pkt_cnt.at(p);
      if (pkt_nr.at(p) == cnt) {
        if (cnt > 1) {
          const std::int64_t rest = static_cast<std::int64_t>(matrix_size) - data_nr.at(p);
          if (rest < 0) {
            fail(PyExc_ValueError, format("PA_TDS_SC_HIST2D_DATA_NR of packet {0} (histogram {1}) is {2}, more "
                                          "than the {3} counts of the {4} x {5} matrix",
                                          p, r, data_nr.at(p), matrix_size, nx, ny));
          }
          space = rest / (cnt - 1);
        } else {
          space = 0;
        }
      }
      if (space < 0 || space > U16_MAX) {
        fail(PyExc_ValueError, format("the chunk length of histogram {0} (PA_TDS_SC_HIST2D_DATA_NR of packet {1}) "
                                      "is {2}, not 0 to 65535",
                                      r, p, space));
      }
      data_space = static_cast<std::uint16_t>(space);
      if (debug) log.debug(format("Data space from packet number {0} is {1}", p, data_space));
    }

    // The packet's chunk.
    const std::int64_t number = pkt_nr.at(p);
    if (number < 1) {
      fail(PyExc_ValueError, format("PA_TDS_HIST2D_PKT_NR of packet {0} (histogram {1}) is {2}; packet numbers "
                                    "count from 1",
                                    p, r, number));
    }
    const std::uint64_t k = static_cast<std::uint64_t>(number - 1);
    const std::int64_t length = data_nr.at(p);
    if (length < 0 || length > U16_MAX) {
      fail(PyExc_ValueError, format("PA_TDS_SC_HIST2D_DATA_NR of packet {0} (histogram {1}) is {2}, not a chunk "
                                    "length of 0 to 65535",
                                    p, r, length));
    }
    const auto chunk = static_cast<std::uint64_t>(length);
    if (debug) log.debug(format("Packet index in snapshot: {0} for packet {1} & chunk {2}", k, p, data_space));

    // k x data space cannot overflow once k is known to be at most matrix size / data space.
    if ((data_space != 0 && k > matrix_size / data_space) ||
        k * data_space + chunk > static_cast<std::uint64_t>(matrix_size)) {
      fail(PyExc_IndexError, format("chunk {0} of histogram {1} (packet {2}: PA_TDS_HIST2D_PKT_NR {3}, "
                                    "PA_TDS_SC_HIST2D_DATA_NR {4}) reaches past the {5} counts of the matrix",
                                    k, r, p, number, chunk, matrix_size));
    }
    if (chunk > counts.cols()) {
      fail(PyExc_ValueError, format("PA_TDS_SC_HIST2D_DATA of packet {0} (histogram {1}) holds {2} counts, fewer "
                                    "than the {3} of PA_TDS_SC_HIST2D_DATA_NR",
                                    p, r, counts.cols(), chunk));
    }
    if (chunk > 0) {
      std::memcpy(buffer.data() + k * data_space, counts.row(p), chunk * sizeof(std::uint16_t));
    }
    if (number == pkt_cnt.at(p)) final_seen = true;  // the histogram's final chunk

    // The counts, once the record's run of packets is complete and held its final chunk.
    const bool run_ends = p + 1 == npackets || groups[p + 1] != r;
    if (run_ends && final_seen) {
      if (nx > COUNTS_SIDE || ny > COUNTS_SIDE) {
        fail(PyExc_ValueError, format("histogram {0} has {1} x {2} bins (PA_TDS_SC_HIST2D_PAR1_BINS, "
                                      "PA_TDS_SC_HIST2D_PAR2_BINS); the count matrix holds at most 128 x 128",
                                      r, nx, ny));
      }
      copy_rows(rec + f_counts.offset, buffer.data(), nx, ny);
    }
  }
  return records.array();
}

}  // namespace

PYBIND11_MODULE(routine_histmap, m) {
  ModuleDef def = ModuleDef::with<Components>(m, "TDS 2-D histograms into HIST2D records.");
  def.attr("HIST2D", hist2d())
      .def("set_hist2d", &set_hist2d, "One HIST2D record per 2-D histogram of the L0 store.", py::arg("l0"),
           py::arg("task"));
  m.attr("SAMPLING_RATE_HZ") = tds::sampling_rate_list();
}
