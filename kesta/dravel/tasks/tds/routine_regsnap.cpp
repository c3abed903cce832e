// Regular snapshot waveforms (normal mode and SBM1): one RSWF record per snapshot.
#include <pybind11/pybind11.h>

#include "module.hpp"
#include "snapshot_assembly.hpp"

namespace py = pybind11;
using namespace dravel;

namespace {

struct Regular {
  static constexpr const char* normal_packet = "TM_TDS_SCIENCE_ROUTINE_REGSNAP";
  static constexpr const char* sbm_packet = "TM_TDS_SCIENCE_SBM1_RSWF";
  static constexpr const char* data_param = "PA_TDS_RSWF_DATA_BLK";
  static constexpr bool has_quality_and_downlink = false;
  static constexpr bool reports_record_index = true;

  static std::uint64_t max_per_channel(unsigned active_sum) {
    return static_cast<std::uint32_t>(tds::samples_per_channel_max(active_sum));
  }

  // Estimated samples per channel of missing packet k of cnt: the last-packet rule, otherwise
  // the first-packet rule, otherwise the previous packet's count.
  static std::int64_t estimate(std::uint64_t k, std::uint64_t cnt, std::int64_t length, std::int64_t max_per_ch,
                               std::int64_t previous) {
    if (k == cnt) return length - max_per_ch * static_cast<std::int64_t>(cnt - 1);
    if (k == 1) return cnt == 2 ? length - max_per_ch : max_per_ch;
    return previous;
  }
};

py::dtype& rswf() {
  static py::dtype* layout = [] {
    py::list l = tds::snapshot_header_entries();
    l.append(entry("channel_status_info", "uint8", 4));
    l.append(entry("samps_per_ch", "uint64"));
    l.append(entry("waveform_data", "int16", 4, 65536));
    return new py::dtype(make_layout(l));
  }();
  return *layout;
}

py::array set_rswf(py::object l0, py::object task, py::object is_sbm) {
  return tds::assemble_snapshots<Regular>(l0, task, is_sbm, rswf());
}

}  // namespace

PYBIND11_MODULE(routine_regsnap, m) {
  ModuleDef def = ModuleDef::with<tds::SnapshotComponents>(
      m, "Regular snapshot waveforms (normal mode and SBM1) into RSWF records.");
  tds::add_snapshot_constants(m);
  def.attr("RSWF", rswf())
      .def("set_rswf", &set_rswf,
           "One RSWF record per regular snapshot of the L0 store; SBM1 packets when is_sbm is true.", py::arg("l0"),
           py::arg("task"), py::arg("is_sbm") = false);
}
