// LFM spectral matrices: one SM record per packet, each cross term a complex value of two
// signed bytes in one 16-bit word (real part in the low byte, imaginary part in the high byte).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "lfm_header.hpp"
#include "module.hpp"

namespace py = pybind11;
using namespace dravel;
using tds::lfm::NFREQ_MAX;

namespace {

const char* const PACKET = "TM_TDS_SCIENCE_SLOWMODE_SPECMAT";
const char* const DATA_PARAM = "PA_TDS_SLOWMODE_SPECMAT_DATA_BLK";
constexpr std::size_t NCROSS_MAX = 10;

py::dtype& sm() {
  static py::dtype* layout = [] {
    py::list l = tds::lfm::header_entries();
    l.append(entry("sm_srclen", "uint8"));
    l.append(entry("sm_type", "uint8"));
    l.append(entry("sm_freq_nr", "uint16"));
    l.append(entry("sm_freq_axis", "uint8"));
    l.append(entry("cross_re", "int8", NCROSS_MAX, NFREQ_MAX));
    l.append(entry("cross_im", "int8", NCROSS_MAX, NFREQ_MAX));
    return new py::dtype(make_layout(l));
  }();
  return *layout;
}

// Cross terms per frequency of a matrix type: 3 for type 1, 10 for type 2, none otherwise.
std::size_t cross_terms(double type) { return type == 1.0 ? 3 : type == 2.0 ? NCROSS_MAX : 0; }

// Splits nf x NC words (frequency-major) into the real and imaginary rows of one record
// (term-major, NFREQ_MAX per row): the low byte of each word is the real part. Each row is
// written in one sweep, so the stores run contiguously.
template <std::size_t NC>
void unpack(const std::uint16_t* __restrict words, std::size_t nf, unsigned char* __restrict re,
            unsigned char* __restrict im) {
  for (std::size_t c = 0; c < NC; ++c) {
    unsigned char* __restrict r = re + c * NFREQ_MAX;
    unsigned char* __restrict i = im + c * NFREQ_MAX;
    for (std::size_t f = 0; f < nf; ++f) {
      const std::uint16_t w = words[f * NC + c];
      r[f] = static_cast<unsigned char>(w & 0xFF);
      i[f] = static_cast<unsigned char>(w >> 8);
    }
  }
}

py::array set_sm(py::object l0, py::object /*task*/) {
  std::optional<tds::lfm::Header> header = tds::lfm::Header::open(l0, PACKET, sm());
  if (!header) return numpy().zeros(0, sm());
  tds::lfm::Header& h = *header;

  h.flags("lf_data_artefacts", tds::lfm::ARTEFACT_PARAMS);
  h.flags("input_config", {"PA_TDS_SLOWMODE_SPECMAT_INPUT_CH1", "PA_TDS_SLOWMODE_SPECMAT_INPUT_CH2",
                           "PA_TDS_SLOWMODE_SPECMAT_INPUT_CH3", "PA_TDS_SLOWMODE_SPECMAT_INPUT_CH4",
                           "PA_TDS_SLOWMODE_SPECMAT_INPUT_CH5", "PA_TDS_SLOWMODE_SPECMAT_INPUT_CH6"});
  h.flags("bia_status_info", tds::BIA_PARAMS);
  h.scalar<std::uint8_t>("sm_srclen", "PA_TDS_SLOWMODE_SPECMAT_SRCLEN");
  h.scalar<std::uint8_t>("sm_freq_axis", "PA_TDS_SLOWMODE_SPECMAT_FREQ_AXIS");
  const Column<std::uint16_t> nfreq = h.scalar<std::uint16_t>("sm_freq_nr", "PA_TDS_SLOWMODE_SPECMAT_NUM_FREQS");
  // The type is stored as a byte but selects the cross terms by its own value.
  const py::array type_param = h.raw("PA_TDS_SLOWMODE_SPECMAT_TYPE");
  h.scalar("sm_type", h.column<std::uint8_t>(type_param, "PA_TDS_SLOWMODE_SPECMAT_TYPE"));
  const Column<double> type = h.column<double>(type_param, "PA_TDS_SLOWMODE_SPECMAT_TYPE");

  const std::size_t n = h.size();
  if (n == 0) return h.records().array();

  // The words are unpacked as they are: the block must be unsigned 16-bit words in host order.
  const py::array block_param = h.raw(DATA_PARAM);
  {
    const py::dtype dt = block_param.dtype();
    if (dt.kind() != 'u' || dt.itemsize() != 2 || !is_native(dt)) {
      fail(PyExc_TypeError, format("parameter {0} has element type {1}; the data block must be unsigned 16-bit "
                                   "words in host byte order", DATA_PARAM, std::string(py::str(dt))));
    }
  }
  const Column<std::uint16_t> block = h.column<std::uint16_t>(block_param, DATA_PARAM, 2);

  RecordArray& records = h.records();
  const Field f_re = records.field("cross_re"), f_im = records.field("cross_im");
  if (!f_re.holds<std::int8_t>() || !f_im.holds<std::int8_t>() || f_re.count != NCROSS_MAX * NFREQ_MAX ||
      f_im.count != NCROSS_MAX * NFREQ_MAX) {
    fail(PyExc_TypeError, "cross_re and cross_im must be int8 of 10 x 200 terms");
  }

  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t nf = nfreq.at(i);
    const std::size_t nc = cross_terms(type.at(i));
    if (nc == 0) continue;
    if (nf > NFREQ_MAX) {
      fail(PyExc_ValueError, format("PA_TDS_SLOWMODE_SPECMAT_NUM_FREQS of packet {0} is {1}; a matrix holds at "
                                    "most 200 frequencies", i, nf));
    }
    if (block.cols() < nf * nc) {
      fail(PyExc_ValueError, format("{0} of packet {1} holds {2} words, fewer than the {3} frequencies x {4} "
                                    "cross terms of its matrix", DATA_PARAM, i, block.cols(), nf, nc));
    }
    const std::uint16_t* words = block.row(i);
    char* rec = records.record(i);
    auto* re = reinterpret_cast<unsigned char*>(rec + f_re.offset);
    auto* im = reinterpret_cast<unsigned char*>(rec + f_im.offset);
    if (nc == 3) unpack<3>(words, nf, re, im);
    else unpack<NCROSS_MAX>(words, nf, re, im);
  }
  return records.array();
}

}  // namespace

PYBIND11_MODULE(slowmode_specmat, m) {
  ModuleDef def = ModuleDef::with<tds::lfm::Components>(m, "TDS LFM spectral matrices into SM records.");
  def.attr("SM", sm())
      .def("set_sm", &set_sm, "One SM record per LFM spectral-matrix packet.", py::arg("l0"), py::arg("task"));
}
