"""TDS low-frequency-mode packets (spectral matrices and power spectral densities), with the SM
and PSD records they decode into.

Spectral matrix: matrix type 1 carries 3 cross terms per frequency, type 2 carries 10; each
term is one 16-bit word, the real part in the low byte and the imaginary part in the high byte
(both signed), the words frequency-major (word f * nc + c is term c at frequency f).
Power spectral density: the spectra of the enabled channels (flag 1) one after the other in
channel order, nf values each.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .store import filled_records, l0_store, set_expected_times

SM_PACKET = "TM_TDS_SCIENCE_SLOWMODE_SPECMAT"
PSD_PACKET = "TM_TDS_SCIENCE_SLOWMODE_DENSITY"
NFREQ_MAX = 200
NCROSS_MAX = 10

ARTEFACT_PARAMS = tuple(f"PA_TDS_LF_ART_CH{k}_OR" for k in range(1, 9)) + (
    "PA_TDS_LF_ART_MAG_HEATER",
    "PA_TDS_LF_ART_SCM_CALIB",
    "PA_TDS_LF_ART_ANT3_OFF",
    "PA_TDS_LF_ART_ANT2_OFF",
    "PA_TDS_LF_ART_ANT1_OFF",
    "PA_TDS_LF_ART_SCM_OFF",
    "PA_TDS_LF_ART_THR_OFF",
    "PA_TDS_LF_ART_LFR_OFF",
)
BIA_PARAMS = (
    "PA_BIA_ON_OFF",
    "PA_BIA_MODE_BIAS3_ENABLED",
    "PA_BIA_MODE_BIAS2_ENABLED",
    "PA_BIA_MODE_BIAS1_ENABLED",
    "PA_BIA_MODE_HV_ENABLED",
    "PA_BIA_MODE_MUX_SET",
)
SM_INPUT_PARAMS = tuple(f"PA_TDS_SLOWMODE_SPECMAT_INPUT_CH{k}" for k in range(1, 7))
PSD_INPUT_PARAMS = tuple(f"PA_TDS_SLOWMODE_DENSITY_INPUT_CONF{k}" for k in range(1, 7))
PSD_CHANNEL_PARAMS = tuple(f"PA_TDS_SLOWMODE_DENSITY_CH{k}" for k in range(1, 7))

_HEADER = [
    ("epoch", "uint64"),
    ("scet", "float64"),
    ("acquisition_time", "uint32", (2,)),
    ("synchro_flag", "uint8"),
    ("quality_flag", "uint8"),
    ("quality_bitmask", "uint16"),
    ("survey_mode", "uint8"),
    ("bia_status_info", "uint8", (6,)),
    ("lf_data_artefacts", "uint8", (16,)),
    ("input_config", "uint8", (6,)),
]
SM = np.dtype(
    _HEADER
    + [
        ("sm_srclen", "uint8"),
        ("sm_type", "uint8"),
        ("sm_freq_nr", "uint16"),
        ("sm_freq_axis", "uint8"),
        ("cross_re", "int8", (NCROSS_MAX, NFREQ_MAX)),
        ("cross_im", "int8", (NCROSS_MAX, NFREQ_MAX)),
    ]
)
PSD = np.dtype(
    _HEADER
    + [
        ("channel_status_info", "uint8", (6,)),
        ("psd_srclen", "uint8"),
        ("psd_freq_nr", "uint16"),
        ("psd_freq_axis", "uint8"),
        ("psd_data", "uint16", (6, NFREQ_MAX)),
    ]
)


def cross_terms(sm_type: int) -> int:
    return {1: 3, 2: NCROSS_MAX}.get(sm_type, 0)


@dataclass
class _Packet:
    time: tuple = (500_000, 0, 1)  # coarse, fine, synchronisation flag
    srclen: int = 2
    freq_axis: int = 1
    nf: int = 20
    inputs: tuple = (1, 2, 3, 4, 5, 6)
    bia: tuple = (1, 1, 0, 1, 0, 3)  # bia_status_info: on/off flag ... MUX setting
    artefacts: tuple = (0,) * 8 + (1, 0, 0, 1, 0, 0, 0, 1)
    width: int | None = None  # data block width (default: the words it needs)


@dataclass
class SpecMat(_Packet):
    """One spectral-matrix packet."""

    type: int = 1
    re: np.ndarray | None = None  # (nc, nf) int8; random when None
    im: np.ndarray | None = None

    def terms(self, rng: np.random.Generator) -> Any:
        nc = cross_terms(self.type)
        if self.re is None:
            self.re = rng.integers(-128, 128, size=(nc, self.nf), dtype=np.int8)
        if self.im is None:
            self.im = rng.integers(-128, 128, size=(nc, self.nf), dtype=np.int8)
        return np.asarray(self.re, np.int8), np.asarray(self.im, np.int8)

    def words(self, rng: np.random.Generator) -> Any:
        """The data block: word f * nc + c = term c at frequency f."""
        nc = cross_terms(self.type)
        if nc == 0:
            return np.zeros(self.width or 0, dtype=np.uint16)
        re, im = self.terms(rng)
        words = (im.view(np.uint8).astype(np.uint16) << 8) | re.view(np.uint8).astype(np.uint16)
        words = words.T.reshape(-1)  # frequency-major
        width = self.width if self.width is not None else words.size
        block = np.zeros(width, dtype=np.uint16)
        m = min(width, words.size)
        block[:m] = words[:m]
        return block


@dataclass
class Spectra(_Packet):
    """One power-spectral-density packet."""

    channels: tuple = (1, 1, 1, 1, 1, 1)  # 1: spectrum present; any other value: absent
    spectra: np.ndarray | None = None  # (6, nf) uint16; random when None (rows of absent channels unused)

    def values(self, rng: np.random.Generator) -> Any:
        if self.spectra is None:
            self.spectra = rng.integers(0, 65536, size=(6, self.nf), dtype=np.uint16)
        return np.asarray(self.spectra, np.uint16).reshape(6, self.nf)

    def block(self, rng: np.random.Generator) -> Any:
        spectra = self.values(rng)
        parts = [spectra[c] for c in range(6) if self.channels[c] == 1]
        data = np.concatenate(parts) if parts else np.zeros(0, np.uint16)
        width = self.width if self.width is not None else data.size
        block = np.zeros(width, dtype=np.uint16)
        m = min(width, data.size)
        block[:m] = data[:m]
        return block


def _stack(blocks):
    width = max((b.size for b in blocks), default=0)
    out = np.zeros((len(blocks), width), dtype=np.uint16)
    for i, b in enumerate(blocks):
        out[i, : b.size] = b
    return out


def _header_params(packets, input_params):
    n = len(packets)
    group = {"PA_TDS_ACQUISITION_TIME": np.array([p.time for p in packets], dtype=np.uint32).reshape(n, 3)}
    for names, attr in ((ARTEFACT_PARAMS, "artefacts"), (input_params, "inputs"), (BIA_PARAMS, "bia")):
        for k, name in enumerate(names):
            group[name] = np.array([getattr(p, attr)[k] for p in packets], dtype=np.uint8)
    return group


def _group(packets, rng, shuffle, block, input_params, prefix):
    """The packet group of `packets`, each one's data block from `block(p, rng)` (drawn in the
    order given, then sent in a random order if `shuffle`), its parameters named `prefix`_...;
    and the packets in the order sent."""
    rng = rng or np.random.default_rng(0)
    blocks = [block(p, rng) for p in packets]
    order = rng.permutation(len(packets)) if shuffle else np.arange(len(packets))
    packets = [packets[k] for k in order]
    group = _header_params(packets, input_params)
    group[prefix + "_SRCLEN"] = np.array([p.srclen for p in packets], dtype=np.uint8)
    group[prefix + "_FREQ_AXIS"] = np.array([p.freq_axis for p in packets], dtype=np.uint8)
    group[prefix + "_NUM_FREQS"] = np.array([p.nf for p in packets], dtype=np.uint16)
    group[prefix + "_DATA_BLK"] = _stack([blocks[k] for k in order])
    return group, packets


def specmat_group(
    packets: Sequence[Any], rng: np.random.Generator | None = None, shuffle: bool = False
) -> dict[str, np.ndarray]:
    """The packet group of `packets` (a list of SpecMat)."""
    group, sent = _group(packets, rng, shuffle, SpecMat.words, SM_INPUT_PARAMS, "PA_TDS_SLOWMODE_SPECMAT")
    group["PA_TDS_SLOWMODE_SPECMAT_TYPE"] = np.array([p.type for p in sent], dtype=np.uint8)
    return group


def density_group(
    packets: Sequence[Any], rng: np.random.Generator | None = None, shuffle: bool = False
) -> dict[str, np.ndarray]:
    """The packet group of `packets` (a list of Spectra)."""
    group, sent = _group(packets, rng, shuffle, Spectra.block, PSD_INPUT_PARAMS, "PA_TDS_SLOWMODE_DENSITY")
    for k, name in enumerate(PSD_CHANNEL_PARAMS):
        group[name] = np.array([p.channels[k] for p in sent], dtype=np.uint8)
    return group


def _expected_records(
    packets: Sequence[Any], dtype: Any, prefix: Any, rng: np.random.Generator | None, set_values: Any
) -> np.ndarray:
    """The records of `packets` (given in time order): the header every slow-mode record has,
    the spectrum's length fields under `prefix`, and its values from `set_values(rec, p, rng)`."""
    rng = rng or np.random.default_rng(0)
    out = filled_records(len(packets), dtype)
    if packets:
        out["survey_mode"] = 0
        set_expected_times(out, [p.time for p in packets])
        out["lf_data_artefacts"] = [p.artefacts for p in packets]
        out["input_config"] = [p.inputs for p in packets]
        out["bia_status_info"] = [p.bia for p in packets]
    for rec, p in zip(out, packets):
        rec[prefix + "_srclen"] = p.srclen
        rec[prefix + "_freq_axis"] = p.freq_axis
        rec[prefix + "_freq_nr"] = p.nf
        set_values(rec, p, rng)
    return out


def expected_specmat(packets: Sequence[Any], rng: np.random.Generator | None = None) -> np.ndarray:
    """The SM records of `packets` (given in time order)."""

    def set_values(rec, p, rng):
        rec["sm_type"] = p.type
        nc = cross_terms(p.type)
        if nc:
            re, im = p.terms(rng)
            rec["cross_re"][:nc, : p.nf] = re
            rec["cross_im"][:nc, : p.nf] = im

    return _expected_records(packets, SM, "sm", rng, set_values)


def expected_density(packets: Sequence[Any], rng: np.random.Generator | None = None) -> np.ndarray:
    """The PSD records of `packets` (given in time order)."""

    def set_values(rec, p, rng):
        rec["channel_status_info"] = p.channels
        spectra = p.values(rng)
        for c in range(6):
            if p.channels[c] == 1:
                rec["psd_data"][c, : p.nf] = spectra[c]

    return _expected_records(packets, PSD, "psd", rng, set_values)


def specmat_store(packets: Sequence[Any], rng: np.random.Generator | None = None, shuffle: bool = False) -> Any:
    """(L0 store, expected SM records)."""
    rng = rng or np.random.default_rng(0)
    group = specmat_group(packets, rng=rng, shuffle=shuffle)
    return l0_store({SM_PACKET: group}), expected_specmat(packets, rng=rng)


def density_store(packets: Sequence[Any], rng: np.random.Generator | None = None, shuffle: bool = False) -> Any:
    """(L0 store, expected PSD records)."""
    rng = rng or np.random.default_rng(0)
    group = density_group(packets, rng=rng, shuffle=shuffle)
    return l0_store({PSD_PACKET: group}), expected_density(packets, rng=rng)


def demo_groups(rng: np.random.Generator, anomalies: bool = False) -> dict[str, dict[str, np.ndarray]]:
    """Spectral-matrix and power-spectral-density packet groups for demos and the command line."""
    sms, psds = [], []
    for i in range(8):
        time = (600_000 + 16 * i, 0, 1)
        sm_type = 1 if i % 2 == 0 else 2
        if anomalies and i == 3:
            sm_type = 3  # unknown type: matrices stay at fill
        sms.append(SpecMat(time=time, type=sm_type, nf=int(rng.choice([32, 100, 200]))))
        channels = (1, 1, 1, 0, 0, 0) if i % 3 else (1, 1, 1, 1, 1, 1)
        if anomalies and i == 5:
            channels = (1, 2, 1, 0, 1, 0)  # a flag of 2 is not an enabled channel
        nf = int(rng.choice([64, 128, 200]))
        f = np.arange(nf)
        spectra = np.stack([(30000 / (1 + f / (10 + 5 * c)) + rng.integers(0, 200, nf)) for c in range(6)])
        psds.append(Spectra(time=time, channels=channels, nf=nf, spectra=spectra.astype(np.uint16)))
    return {
        SM_PACKET: specmat_group(sms, rng=rng, shuffle=anomalies),
        PSD_PACKET: density_group(psds, rng=rng, shuffle=anomalies),
    }
