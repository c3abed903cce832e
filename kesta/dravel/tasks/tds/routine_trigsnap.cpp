// Triggered snapshot waveforms (normal mode and SBM2): one TSWF record per snapshot.
#include <pybind11/pybind11.h>

#include "module.hpp"
#include "snapshot_assembly.hpp"

namespace py = pybind11;
using namespace dravel;

namespace {

struct Triggered {
  static constexpr const char* normal_packet = "TM_TDS_SCIENCE_ROUTINE_TRIGSNAP";
  static constexpr const char* sbm_packet = "TM_TDS_SCIENCE_SBM2_TSWF";
  static constexpr const char* data_param = "PA_TDS_TSWF_DATA_BLK";
  static constexpr bool has_quality_and_downlink = true;
  static constexpr bool reports_record_index = false;

  static std::uint64_t max_per_channel(unsigned active_sum) { return tds::samples_per_channel_max(active_sum); }

  // Estimated samples per channel of missing packet k of cnt. The last-packet rule applies
  // first and the first-packet rule after it, so for a one-packet snapshot the latter wins.
  static std::int64_t estimate(std::uint64_t k, std::uint64_t cnt, std::int64_t length, std::int64_t max_per_ch,
                               std::int64_t previous) {
    std::int64_t spc = previous;
    if (k == cnt) spc = length - max_per_ch * static_cast<std::int64_t>(cnt - 1);
    if (k == 1) spc = cnt == 2 ? length - max_per_ch : max_per_ch;
    return spc;
  }
};

py::dtype& tswf() {
  static py::dtype* layout = [] {
    py::list l = tds::snapshot_header_entries();
    l.append(entry("samps_per_ch", "uint64"));
    l.append(entry("channel_status_info", "uint8", 4));
    l.append(entry("quality_fact", "uint16"));
    l.append(entry("downlink_info", "uint8", 2));
    l.append(entry("waveform_data", "int16", 4, 65536));
    return new py::dtype(make_layout(l));
  }();
  return *layout;
}

py::array set_tswf(py::object l0, py::object task, py::object is_sbm) {
  return tds::assemble_snapshots<Triggered>(l0, task, is_sbm, tswf());
}

}  // namespace

PYBIND11_MODULE(routine_trigsnap, m) {
  ModuleDef def = ModuleDef::with<tds::SnapshotComponents>(
      m, "Triggered snapshot waveforms (normal mode and SBM2) into TSWF records.");
  tds::add_snapshot_constants(m);
  def.attr("TSWF", tswf())
      .def("set_tswf", &set_tswf,
           "One TSWF record per triggered snapshot of the L0 store; SBM2 packets when is_sbm is true.", py::arg("l0"),
           py::arg("task"), py::arg("is_sbm") = false);
}
