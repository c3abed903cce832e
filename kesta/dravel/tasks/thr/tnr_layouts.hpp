// The TNR sub-record layouts the survey and calibration packet records share: the setup
// command and the spectra of one band (two channels of an AGC and `nbins` autos, then `nbins`
// cross terms, real and imaginary).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

#include "records.hpp"

namespace dravel::thr::tnr {
namespace py = pybind11;

constexpr std::size_t NBANDS = 4;
inline constexpr const char* BAND_LETTERS[NBANDS] = {"a", "b", "c", "d"};

inline py::list tnr_setup_dtype() {
  py::list l;
  for (const char* name : {"av", "cr", "au", "d", "c", "b", "a"}) l.append(entry(name, "uint8"));
  return l;
}

inline py::list channel_dtype(std::size_t nbins) {
  py::list l;
  l.append(entry("agc", "uint16"));
  l.append(entry("autos", "uint16", nbins));
  return l;
}

inline py::list band_dtype(std::size_t nbins) {
  py::list l;
  l.append(entry("ch1", channel_dtype(nbins)));
  l.append(entry("ch2", channel_dtype(nbins)));
  l.append(entry("cross", "uint16", nbins, 2));
  return l;
}

// The bands a to d of one block (survey) or calibration level.
inline py::list bands_dtype(std::size_t nbins) {
  py::list l;
  for (const char* letter : BAND_LETTERS) l.append(entry(letter, band_dtype(nbins)));
  return l;
}

}  // namespace dravel::thr::tnr
