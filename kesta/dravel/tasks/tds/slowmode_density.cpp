// LFM power spectral densities: one PSD record per packet; a packet's data block holds the
// spectra of its enabled channels only, one after the other in channel order.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "lfm_header.hpp"
#include "module.hpp"

namespace py = pybind11;
using namespace dravel;
using tds::lfm::NFREQ_MAX;

namespace {

const char* const PACKET = "TM_TDS_SCIENCE_SLOWMODE_DENSITY";
const char* const DATA_PARAM = "PA_TDS_SLOWMODE_DENSITY_DATA_BLK";
constexpr std::size_t NCHANNEL = 6;

py::dtype& psd() {
  static py::dtype* layout = [] {
    py::list l = tds::lfm::header_entries();
    l.append(entry("channel_status_info", "uint8", NCHANNEL));
    l.append(entry("psd_srclen", "uint8"));
    l.append(entry("psd_freq_nr", "uint16"));
    l.append(entry("psd_freq_axis", "uint8"));
    l.append(entry("psd_data", "uint16", NCHANNEL, NFREQ_MAX));
    return new py::dtype(make_layout(l));
  }();
  return *layout;
}

py::array set_psd(py::object l0, py::object /*task*/) {
  std::optional<tds::lfm::Header> header = tds::lfm::Header::open(l0, PACKET, psd());
  if (!header) return numpy().zeros(0, psd());
  tds::lfm::Header& h = *header;

  h.flags("channel_status_info",
          {"PA_TDS_SLOWMODE_DENSITY_CH1", "PA_TDS_SLOWMODE_DENSITY_CH2", "PA_TDS_SLOWMODE_DENSITY_CH3",
           "PA_TDS_SLOWMODE_DENSITY_CH4", "PA_TDS_SLOWMODE_DENSITY_CH5", "PA_TDS_SLOWMODE_DENSITY_CH6"});
  h.flags("lf_data_artefacts", tds::lfm::ARTEFACT_PARAMS);
  h.flags("input_config", {"PA_TDS_SLOWMODE_DENSITY_INPUT_CONF1", "PA_TDS_SLOWMODE_DENSITY_INPUT_CONF2",
                           "PA_TDS_SLOWMODE_DENSITY_INPUT_CONF3", "PA_TDS_SLOWMODE_DENSITY_INPUT_CONF4",
                           "PA_TDS_SLOWMODE_DENSITY_INPUT_CONF5", "PA_TDS_SLOWMODE_DENSITY_INPUT_CONF6"});
  h.flags("bia_status_info", tds::BIA_PARAMS);
  h.scalar<std::uint8_t>("psd_srclen", "PA_TDS_SLOWMODE_DENSITY_SRCLEN");
  h.scalar<std::uint8_t>("psd_freq_axis", "PA_TDS_SLOWMODE_DENSITY_FREQ_AXIS");
  h.scalar<std::uint16_t>("psd_freq_nr", "PA_TDS_SLOWMODE_DENSITY_NUM_FREQS");

  const std::size_t n = h.size();
  if (n == 0) return h.records().array();
  const Column<std::uint16_t> block = h.column<std::uint16_t>(DATA_PARAM, 2);

  RecordArray& records = h.records();
  const Field f_status = records.field("channel_status_info"), f_nfreq = records.field("psd_freq_nr"),
              f_data = records.field("psd_data");
  if (!f_data.holds<std::uint16_t>() || f_data.count != NCHANNEL * NFREQ_MAX) {
    fail(PyExc_TypeError, "psd_data must be uint16 of 6 x 200 values");
  }

  return h.write([&](std::size_t i, char* rec) {
    const std::uint64_t nf = f_nfreq.load(rec).u;
    const std::uint16_t* values = block.row(i);
    char* rows = rec + f_data.offset;  // packed records: rows may sit at any byte offset
    std::uint64_t taken = 0;           // enabled channels met so far
    for (std::size_t c = 0; c < NCHANNEL; ++c) {
      if (f_status.load(rec, c).u != 1) continue;
      if (nf > NFREQ_MAX) {
        fail(PyExc_ValueError, format("PA_TDS_SLOWMODE_DENSITY_NUM_FREQS of packet {0} is {1}; a spectrum holds "
                                      "at most 200 frequencies",
                                      i, nf));
      }
      if (block.cols() < (taken + 1) * nf) {
        fail(PyExc_ValueError, format("{0} of packet {1} holds {2} values, too few for the spectrum of channel {3} "
                                      "(enabled channel {4} of {5} values each)",
                                      DATA_PARAM, i, block.cols(), c + 1, taken + 1, nf));
      }
      char* row = rows + c * NFREQ_MAX * sizeof(std::uint16_t);
      const std::uint16_t* spectrum = values + taken * nf;
      std::memcpy(row, spectrum, nf * sizeof(std::uint16_t));
      ++taken;
    }
  });
}

}  // namespace

PYBIND11_MODULE(slowmode_density, m) {
  ModuleDef def = ModuleDef::with<tds::lfm::Components>(m, "TDS LFM power spectral densities into PSD records.");
  def.attr("PSD", psd())
      .def("set_psd", &set_psd, "One PSD record per LFM power-spectral-density packet.", py::arg("l0"),
           py::arg("task"));
}
