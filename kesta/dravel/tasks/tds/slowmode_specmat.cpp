// LFM spectral matrices: one SM record per packet, each cross term a complex value of two
// signed bytes in one 16-bit word (real part in the low byte, imaginary part in the high byte).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Splits words [f0, nf) x NC (frequency-major) into the real and imaginary rows of one record
// (term-major, NFREQ_MAX per row): the low byte of each word is the real part.
template <std::size_t NC>
void unpack(const std::uint16_t* __restrict words, std::size_t f0, std::size_t nf, unsigned char* __restrict re,
            unsigned char* __restrict im) {
  for (std::size_t c = 0; c < NC; ++c) {
    unsigned char* __restrict r = re + c * NFREQ_MAX;
    unsigned char* __restrict i = im + c * NFREQ_MAX;
    for (std::size_t f = f0; f < nf; ++f) {
      const std::uint16_t w = words[f * NC + c];
      r[f] = static_cast<unsigned char>(w & 0xFF);
      i[f] = static_cast<unsigned char>(w >> 8);
    }
  }
}

#if defined(__SSE2__)
// The ten cross terms of 8 frequencies (80 words from `w`), as one vector of 8 words per term:
// an 8 x 8 transpose of terms 0 to 7, and terms 8 and 9 gathered in pairs.
inline void terms8(const std::uint16_t* w, __m128i col[NCROSS_MAX]) {
  __m128i r[8], p[8];
  for (std::size_t j = 0; j < 8; ++j) {
    r[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + NCROSS_MAX * j));
    std::int32_t last;
    std::memcpy(&last, w + NCROSS_MAX * j + 8, sizeof last);
    p[j] = _mm_cvtsi32_si128(last);
  }
  const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]), t1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]), t3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i t4 = _mm_unpacklo_epi16(r[4], r[5]), t5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i t6 = _mm_unpacklo_epi16(r[6], r[7]), t7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
  const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
  const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
  const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
  col[0] = _mm_unpacklo_epi64(u0, u4);
  col[1] = _mm_unpackhi_epi64(u0, u4);
  col[2] = _mm_unpacklo_epi64(u1, u5);
  col[3] = _mm_unpackhi_epi64(u1, u5);
  col[4] = _mm_unpacklo_epi64(u2, u6);
  col[5] = _mm_unpackhi_epi64(u2, u6);
  col[6] = _mm_unpacklo_epi64(u3, u7);
  col[7] = _mm_unpackhi_epi64(u3, u7);
  // Terms 8 and 9 of frequencies 0-3 and 4-7, interleaved word by word; the even words (term
  // 8) are sign-extended so that the signed pack keeps them exactly.
  const __m128i lo = _mm_unpacklo_epi64(_mm_unpacklo_epi32(p[0], p[1]), _mm_unpacklo_epi32(p[2], p[3]));
  const __m128i hi = _mm_unpacklo_epi64(_mm_unpacklo_epi32(p[4], p[5]), _mm_unpacklo_epi32(p[6], p[7]));
  col[8] = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(lo, 16), 16), _mm_srai_epi32(_mm_slli_epi32(hi, 16), 16));
  col[9] = _mm_packs_epi32(_mm_srai_epi32(lo, 16), _mm_srai_epi32(hi, 16));
}

// unpack<NCROSS_MAX> sixteen and eight frequencies at a time, the rest one by one.
void unpack10(const std::uint16_t* words, std::size_t nf, unsigned char* re, unsigned char* im) {
  const __m128i low = _mm_set1_epi16(0x00FF);
  __m128i a[NCROSS_MAX], b[NCROSS_MAX];
  std::size_t f = 0;
  for (; f + 16 <= nf; f += 16) {
    terms8(words + f * NCROSS_MAX, a);
    terms8(words + (f + 8) * NCROSS_MAX, b);
    for (std::size_t c = 0; c < NCROSS_MAX; ++c) {
      const __m128i real = _mm_packus_epi16(_mm_and_si128(a[c], low), _mm_and_si128(b[c], low));
      const __m128i imag = _mm_packus_epi16(_mm_srli_epi16(a[c], 8), _mm_srli_epi16(b[c], 8));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(re + c * NFREQ_MAX + f), real);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(im + c * NFREQ_MAX + f), imag);
    }
  }
  if (f + 8 <= nf) {
    terms8(words + f * NCROSS_MAX, a);
    for (std::size_t c = 0; c < NCROSS_MAX; ++c) {
      const __m128i real = _mm_packus_epi16(_mm_and_si128(a[c], low), low);
      const __m128i imag = _mm_packus_epi16(_mm_srli_epi16(a[c], 8), low);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(re + c * NFREQ_MAX + f), real);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(im + c * NFREQ_MAX + f), imag);
    }
    f += 8;
  }
  unpack<NCROSS_MAX>(words, f, nf, re, im);
}
#else
void unpack10(const std::uint16_t* words, std::size_t nf, unsigned char* re, unsigned char* im) {
  unpack<NCROSS_MAX>(words, 0, nf, re, im);
}
#endif

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
                                   "words in host byte order",
                                   DATA_PARAM, std::string(py::str(dt))));
    }
  }
  const Column<std::uint16_t> block = h.column<std::uint16_t>(block_param, DATA_PARAM, 2);

  RecordArray& records = h.records();
  const Field f_re = records.field("cross_re"), f_im = records.field("cross_im");
  if (!f_re.holds<std::int8_t>() || !f_im.holds<std::int8_t>() || f_re.count != NCROSS_MAX * NFREQ_MAX ||
      f_im.count != NCROSS_MAX * NFREQ_MAX) {
    fail(PyExc_TypeError, "cross_re and cross_im must be int8 of 10 x 200 terms");
  }

  return h.write([&](std::size_t i, char* rec) {
    const std::size_t nf = nfreq.at(i);
    const std::size_t nc = cross_terms(type.at(i));
    if (nc == 0) return;
    if (nf > NFREQ_MAX) {
      fail(PyExc_ValueError, format("PA_TDS_SLOWMODE_SPECMAT_NUM_FREQS of packet {0} is {1}; a matrix holds at "
                                    "most 200 frequencies",
                                    i, nf));
    }
    if (block.cols() < nf * nc) {
      fail(PyExc_ValueError, format("{0} of packet {1} holds {2} words, fewer than the {3} frequencies x {4} "
                                    "cross terms of its matrix",
                                    DATA_PARAM, i, block.cols(), nf, nc));
    }
    const std::uint16_t* words = block.row(i);
    auto* re = reinterpret_cast<unsigned char*>(rec + f_re.offset);
    auto* im = reinterpret_cast<unsigned char*>(rec + f_im.offset);
    if (nc == 3) unpack<3>(words, 0, nf, re, im);
    else unpack10(words, nf, re, im);
  });
}

}  // namespace

PYBIND11_MODULE(slowmode_specmat, m) {
  ModuleDef def = ModuleDef::with<tds::lfm::Components>(m, "TDS LFM spectral matrices into SM records.");
  def.attr("SM", sm())
      .def("set_sm", &set_sm, "One SM record per LFM spectral-matrix packet.", py::arg("l0"), py::arg("task"));
}
