"""What the L1 variables of each product are: one declarative table per product, plain data.

Each table gives the product's global attributes and, per variable (a leaf field of the
record layout, named as `layout` names it), its description, units, dimension names and
display. A field a table does not describe still gets valid attributes from its layout
(`attributes.variable`), so a pipeline whose layouts have more fields still writes valid files.
Fill values are never written here: they come from the installed fill-value component.

Variable entry keys: CATDESC, UNITS, DIMS (names of the sub-array dimensions), VAR_TYPE,
VAR_NOTES, DISPLAY, SCALETYP ("linear" or "log"), LABLAXIS, VALIDMIN, VALIDMAX.

VAR_TYPE (ISTP): "data" for the science quantities a reader plots (spectra, waveforms, counts,
gains), which the tables mark as such; every other described variable (times, flags, status
words, settings, counters, frequencies) is "support_data", the default of a table entry; a
field that a product never sets (it keeps its fill value by design, as the TNR calibration
records' survey fields) is "ignore_data", so readers that load data and support data do not
take an all-fill placeholder for a measurement. A field no table describes is "data".

DISPLAY (ISTP DISPLAY_TYPE) says how a variable is drawn: "time_series" (one line per element
along its sub-array dimensions, the channels of a waveform as much as a scalar), "spectrogram"
(values over time and a frequency axis: spectra), "image" (a 2-D array per record: the
histograms). Default: "time_series" for scalars and for data; none for support-data arrays
(flags and status words are not drawn). CDF files carry only the DISPLAY_TYPE values the ISTP
checkers accept for the variable's rank (`cdf._display_type`).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from kesta.dravel.products import declared

from .layout import EPOCH

# The global attributes that name the mission, by default: an archive sets its own over them
# (its dravel-archive.toml, read by the archive).
PROJECT = {
    "Project": "ISTP>International Solar-Terrestrial Physics",
    "Source_name": "ZELK>Zelk radio and plasma waves",
    "Discipline": "Space Physics>Heliospheric Physics",
    "Data_type": "L1>Level 1 science data",
    "Mission_group": "Zelk",
    "PI_name": " ",
    "PI_affiliation": " ",
    "Instrument_type": "Radio and Plasma Waves (space)",
}

# Sub-array dimensions: every one has an index variable in a CDF (its DEPEND_i, so that every
# reader names the dimension), the few-valued ones labels too (a label variable, LABL_PTR_i);
# a product's "coordinates" name a record field holding the values along a dimension, which is
# then the DEPEND_i of the variables along it.
DIMENSIONS: dict[str, dict[str, Any]] = {
    "obt_word": {"CATDESC": "Word of the on-board time", "labels": ["coarse", "fine"]},
    "tds_bias_parameter": {
        "CATDESC": "Bias unit parameter",
        "labels": ["BIA_ON_OFF", "BIAS3_ENABLED", "BIAS2_ENABLED", "BIAS1_ENABLED", "HV_ENABLED", "MUX_SET"],
    },
    "hist_bias_parameter": {
        "CATDESC": "Bias unit parameter",
        "labels": ["MUX_SET", "HV_ENABLED", "BIAS1_ENABLED", "BIAS2_ENABLED", "BIAS3_ENABLED", "BIA_ON_OFF"],
    },
    "channel": {"CATDESC": "TDS channel", "labels": ["CH1", "CH2", "CH3", "CH4"]},
    "lfm_channel": {"CATDESC": "LFM channel", "labels": ["CH1", "CH2", "CH3", "CH4", "CH5", "CH6"]},
    "thr_channel": {"CATDESC": "THR receiver channel", "labels": ["CH1", "CH2"]},
    "auto_cross": {"CATDESC": "Auto and cross spectra switch", "labels": ["auto", "cross"]},
    "sensor": {"CATDESC": "Sensor of a THR channel", "labels": ["CH1", "CH2"]},
    "downlink": {"CATDESC": "Downlink code", "labels": ["algorithm", "selection"]},
    "hf_artefact": {"CATDESC": "HF artefact flag", "labels": [f"flag{i}" for i in range(1, 6)]},
    "lf_artefact": {"CATDESC": "LF artefact flag", "labels": [f"flag{i}" for i in range(1, 17)]},
    "lf_input": {"CATDESC": "LF input configuration word", "labels": [f"word{i}" for i in range(1, 7)]},
    "receiver_status": {"CATDESC": "Receiver and antenna status flag", "labels": [f"status{i}" for i in range(1, 9)]},
    "thr_status": {"CATDESC": "Receiver status word", "labels": [f"status{i}" for i in range(1, 7)]},
    "temperature_sensor": {"CATDESC": "Temperature sensor", "labels": ["T1", "T2", "T3", "T4"]},
    "matrix_term": {
        "CATDESC": "Spectral matrix term",
        "labels": ["S11", "S22", "S33", "S12", "S13", "S23", "S21", "S31", "S32", "S_other"],
    },
    "band": {"CATDESC": "TNR band", "labels": ["A", "B", "C", "D"]},
    "hf_band": {"CATDESC": "HFR band", "labels": ["HF1", "HF2"]},
    "level": {"CATDESC": "Calibration level", "labels": [f"L{i}" for i in range(9)]},
    "step": {"CATDESC": "Frequency step of the HFR sweep"},
    "calibration_bin": {"CATDESC": "Frequency bin of a calibration spectrum"},
    "sample": {"CATDESC": "Sample number within the snapshot"},
    "frequency_bin": {"CATDESC": "Frequency bin"},
    "bin1": {"CATDESC": "Bin along histogram axis 1"},
    "bin2": {"CATDESC": "Bin along histogram axis 2"},
}

_FLAGS = {
    "synchro_flag": {"CATDESC": "Time synchronisation flag of the acquisition time"},
    "quality_flag": {"CATDESC": "Quality flag (not set at level 1)"},
    "quality_bitmask": {"CATDESC": "Quality bitmask (not set at level 1)"},
}

_TDS_HEADER = {
    EPOCH: {"CATDESC": "Acquisition time (TT2000)", "UNITS": "ns", "LABLAXIS": "Epoch"},
    "scet": {"CATDESC": "Spacecraft elapsed time of the acquisition", "UNITS": "s"},
    "acquisition_time": {"CATDESC": "On-board acquisition time: coarse and fine words", "DIMS": ["obt_word"]},
    **_FLAGS,
    "survey_mode": {"CATDESC": "Survey mode of the product"},
    "bia_status_info": {"CATDESC": "Bias unit status flags", "DIMS": ["tds_bias_parameter"]},
}

_THR_HEADER = {
    EPOCH: {
        "CATDESC": "Time of the middle of the measurement (TT2000)",
        "UNITS": "ns",
        "VAR_TYPE": "support_data",
        "LABLAXIS": "Epoch",
    },
    "scet": {"CATDESC": "Spacecraft elapsed time of the middle of the measurement", "UNITS": "s"},
    "acquisition_time": {
        "CATDESC": "On-board acquisition time of the packet: coarse and fine words",
        "DIMS": ["obt_word"],
    },
    **_FLAGS,
    "survey_mode": {"CATDESC": "Survey mode: 0 normal, 1 burst"},
    "average_nr": {"CATDESC": "Number of averaged spectra"},
    "channel_status": {"CATDESC": "Channel enable flags", "DIMS": ["thr_channel"]},
    "front_end": {"CATDESC": "Front-end setting"},
    "sensor_config": {"CATDESC": "Sensor connected to each channel", "DIMS": ["sensor"]},
    "temperature": {"CATDESC": "Receiver temperatures (raw)", "DIMS": ["temperature_sensor"]},
}

TNR: dict[str, Any] = {
    "globals": {
        "Descriptor": "TNR>Thermal Noise Receiver",
        "Logical_source_description": "Thermal Noise Receiver survey spectra, level 1",
        "TEXT": "TNR auto and cross spectra, one record per enabled band per block.",
    },
    "coordinates": {"frequency_bin": "frequency"},
    "variables": {
        **_THR_HEADER,
        "sweep_num": {"CATDESC": "Block (sweep) number within the packet group"},
        "measurement_duration": {"CATDESC": "Measurement duration of the band (x 10000)"},
        "ticks_nr": {"CATDESC": "Band time offset in receiver ticks"},
        "delta_time": {"CATDESC": "Band time offset", "UNITS": "us"},
        "auto_cross_status": {"CATDESC": "Auto and cross spectra enable flags", "DIMS": ["auto_cross"]},
        "zelk_status": {"CATDESC": "Receiver status words", "DIMS": ["thr_status"]},
        "tnr_band": {"CATDESC": "TNR band: 0 A, 1 B, 2 C, 3 D"},
        "calibration_level": {"CATDESC": "Calibration level (calibration records only)"},
        "frequency": {
            "CATDESC": "Frequency of each bin of the band",
            "UNITS": "Hz",
            "DIMS": ["frequency_bin"],
            "SCALETYP": "log",
        },
        "agc1": {"CATDESC": "Automatic gain control of channel 1", "VAR_TYPE": "data"},
        "agc2": {"CATDESC": "Automatic gain control of channel 2", "VAR_TYPE": "data"},
        "auto1": {
            "CATDESC": "Auto spectrum of channel 1 (raw)",
            "DIMS": ["frequency_bin"],
            "VAR_TYPE": "data",
            "DISPLAY": "spectrogram",
        },
        "auto2": {
            "CATDESC": "Auto spectrum of channel 2 (raw)",
            "DIMS": ["frequency_bin"],
            "VAR_TYPE": "data",
            "DISPLAY": "spectrogram",
        },
        "cross_r": {
            "CATDESC": "Cross spectrum, real part (raw)",
            "DIMS": ["frequency_bin"],
            "VAR_TYPE": "data",
            "DISPLAY": "spectrogram",
        },
        "cross_i": {
            "CATDESC": "Cross spectrum, imaginary part (raw)",
            "DIMS": ["frequency_bin"],
            "VAR_TYPE": "data",
            "DISPLAY": "spectrogram",
        },
    },
}

# Fields of the TNR layout the calibration decoder never writes: all fill.
_NOT_CALIBRATION = ("sweep_num", "measurement_duration", "ticks_nr", "delta_time", "zelk_status", "frequency")

TNR_CALIBRATION: dict[str, Any] = {
    **TNR,
    # `frequency` is never set in calibration records: the spectra have the bin index as axis.
    "coordinates": {},
    "variables": {
        **TNR["variables"],
        **{
            name: {
                **TNR["variables"][name],
                "VAR_TYPE": "ignore_data",
                "CATDESC": TNR["variables"][name]["CATDESC"] + " (not set in calibration records: fill)",
            }
            for name in _NOT_CALIBRATION
        },
    },
    "globals": {
        "Descriptor": "TNR-CAL>Thermal Noise Receiver calibration",
        "Logical_source_description": "Thermal Noise Receiver calibration spectra, level 1",
        "TEXT": "TNR calibration spectra: nine calibration levels per enabled band per packet.",
    },
}

HFR_CALIBRATION: dict[str, Any] = {
    "globals": {
        "Descriptor": "HFR-CAL>High Frequency Receiver calibration",
        "Logical_source_description": "High Frequency Receiver calibration, level 1",
        "TEXT": "HFR calibration: one record per enabled band, calibration level and frequency step.",
    },
    "variables": {
        **_THR_HEADER,
        "frequency": {"CATDESC": "Frequency of the step", "UNITS": "Hz", "SCALETYP": "log"},
        "calibration_level": {"CATDESC": "Calibration level"},
        "hfr_band": {"CATDESC": "HFR band: 0 HF1, 1 HF2"},
        "agc1": {"CATDESC": "Automatic gain control of channel 1", "VAR_TYPE": "data"},
        "agc2": {"CATDESC": "Automatic gain control of channel 2", "VAR_TYPE": "data"},
    },
}

_SNAPSHOT = {
    **_TDS_HEADER,
    "sampling_rate": {"CATDESC": "Sampling rate", "UNITS": "Hz"},
    "hf_data_artefacts": {"CATDESC": "HF artefact flags", "DIMS": ["hf_artefact"]},
    "filter_coefs": {"CATDESC": "Filter coefficient selector"},
    "zelk_status_info": {"CATDESC": "Receiver and antenna status flags", "DIMS": ["receiver_status"]},
    "input_config": {"CATDESC": "Channel input configuration"},
    "snapshot_seq_nr": {"CATDESC": "Snapshot number"},
    "samps_per_ch": {"CATDESC": "Samples per channel of the snapshot (fill when rejected)"},
    "channel_status_info": {"CATDESC": "Channel enable flags", "DIMS": ["channel"]},
    "quality_fact": {"CATDESC": "Quality factor"},
    "downlink_info": {"CATDESC": "Downlink algorithm and selection codes", "DIMS": ["downlink"]},
    "waveform_data": {
        "CATDESC": "Waveform samples per channel (raw ADC counts)",
        "UNITS": "counts",
        "DIMS": ["channel", "sample"],
        "VAR_TYPE": "data",
        "DISPLAY": "time_series",
    },
}

TSWF = {
    "globals": {
        "Descriptor": "TDS-TSWF>Time Domain Sampler triggered snapshots",
        "Logical_source_description": "Time Domain Sampler triggered snapshot waveforms, level 1",
        "TEXT": "TDS triggered snapshots: one record per snapshot, four channels.",
    },
    "variables": _SNAPSHOT,
}

RSWF = {
    "globals": {
        "Descriptor": "TDS-RSWF>Time Domain Sampler regular snapshots",
        "Logical_source_description": "Time Domain Sampler regular snapshot waveforms, level 1",
        "TEXT": "TDS regular snapshots: one record per snapshot, four channels.",
    },
    "variables": _SNAPSHOT,
}

HIST2D = {
    "globals": {
        "Descriptor": "TDS-HIST2D>Time Domain Sampler 2-D histograms",
        "Logical_source_description": "Time Domain Sampler 2-D histograms, level 1",
        "TEXT": "TDS 2-D histograms of two on-board measured quantities.",
    },
    "variables": {
        **_TDS_HEADER,
        "bia_status_info": {"CATDESC": "Bias unit status flags", "DIMS": ["hist_bias_parameter"]},
        "channel_status_info": {"CATDESC": "Channel enable flags", "DIMS": ["channel"]},
        "sampling_rate": {"CATDESC": "Sampling rate", "UNITS": "Hz"},
        "input_config": {"CATDESC": "Channel input configuration"},
        "snapshot_len": {"CATDESC": "Snapshot length code"},
        "hist2d_id": {"CATDESC": "Histogram identifier"},
        "hist2d_params": {"CATDESC": "Histogram parameter code"},
        "hist2d_axis1": {"CATDESC": "Quantity code of histogram axis 1"},
        "hist2d_axis2": {"CATDESC": "Quantity code of histogram axis 2"},
        "hist2d_col_time": {"CATDESC": "Collection time of the histogram"},
        "hist2d_bins1": {"CATDESC": "Number of bins along axis 1"},
        "hist2d_bins2": {"CATDESC": "Number of bins along axis 2"},
        "hist2d_tot_pts": {"CATDESC": "Total number of points in the histogram"},
        "hist2d_counts": {
            "CATDESC": "Counts per bin (axis 1, axis 2)",
            "UNITS": "counts",
            "DIMS": ["bin1", "bin2"],
            "VAR_TYPE": "data",
            "DISPLAY": "image",
        },
    },
}

_LFM = {
    **_TDS_HEADER,
    "lf_data_artefacts": {"CATDESC": "LF artefact flags", "DIMS": ["lf_artefact"]},
    "input_config": {"CATDESC": "LF input configuration", "DIMS": ["lf_input"]},
}

LFM_SM = {
    "globals": {
        "Descriptor": "TDS-LFM-SM>Time Domain Sampler LFM spectral matrices",
        "Logical_source_description": "Time Domain Sampler low frequency spectral matrices, level 1",
        "TEXT": "LFM spectral matrices: one record per packet.",
    },
    "variables": {
        **_LFM,
        "sm_srclen": {"CATDESC": "Source length code"},
        "sm_type": {"CATDESC": "Spectral matrix type"},
        "sm_freq_nr": {"CATDESC": "Number of frequencies"},
        "sm_freq_axis": {"CATDESC": "Frequency axis code"},
        "cross_re": {
            "CATDESC": "Spectral matrix terms, real part (raw)",
            "DIMS": ["matrix_term", "frequency_bin"],
            "VAR_TYPE": "data",
            "DISPLAY": "spectrogram",
        },
        "cross_im": {
            "CATDESC": "Spectral matrix terms, imaginary part (raw)",
            "DIMS": ["matrix_term", "frequency_bin"],
            "VAR_TYPE": "data",
            "DISPLAY": "spectrogram",
        },
    },
}

LFM_PSD = {
    "globals": {
        "Descriptor": "TDS-LFM-PSD>Time Domain Sampler LFM power spectral densities",
        "Logical_source_description": "Time Domain Sampler low frequency power spectral densities, level 1",
        "TEXT": "LFM power spectral densities: one record per packet, six channels.",
    },
    "variables": {
        **_LFM,
        "channel_status_info": {"CATDESC": "Channel enable flags", "DIMS": ["lfm_channel"]},
        "psd_srclen": {"CATDESC": "Source length code"},
        "psd_freq_nr": {"CATDESC": "Number of frequencies"},
        "psd_freq_axis": {"CATDESC": "Frequency axis code"},
        "psd_data": {
            "CATDESC": "Power spectral density per channel (raw)",
            "DIMS": ["lfm_channel", "frequency_bin"],
            "VAR_TYPE": "data",
            "DISPLAY": "spectrogram",
        },
    },
}

# {product: table}, each product naming its table in the product registry
TABLES = declared("metadata", globals())


# What the day files (and HAPI) hold of the products whose decoder makes several records of one
# measurement (`dayrecords`): one record per measurement, its members along dimensions. Each
# table here goes over the product's own for the layout of its day records.


def _not_measured(name: str, flags: str) -> dict[str, str]:
    return {
        "VAR_NOTES": f"Fill where nothing was measured: {flags} (the receiver then sends no "
        f"{name}, and the decoder's records hold zeros)."
    }


_CH1, _CH2 = "channel 1 off (channel_status)", "channel 2 off (channel_status)"
_TNR_NOT_MEASURED: dict[str, dict[str, str]] = {
    "agc1": _not_measured("gain", _CH1),
    "agc2": _not_measured("gain", _CH2),
    "auto1": _not_measured("auto spectrum", f"{_CH1} or auto spectra off (auto_cross_status)"),
    "auto2": _not_measured("auto spectrum", f"{_CH2} or auto spectra off (auto_cross_status)"),
    "cross_r": _not_measured(
        "cross spectrum", "either channel off (channel_status) or cross spectra off (auto_cross_status)"
    ),
    "cross_i": _not_measured(
        "cross spectrum", "either channel off (channel_status) or cross spectra off (auto_cross_status)"
    ),
}


def _over(table: Mapping[str, dict[str, Any]], overrides: Mapping[str, dict[str, Any]]) -> dict[str, dict[str, Any]]:
    """`table`'s variable entries with `overrides` merged into them (new entries added)."""
    out = {}
    for name in set(table) | set(overrides):
        out[name] = {**table.get(name, {}), **overrides.get(name, {})}
    return out


_BANDS = ["band"]
TNR_SWEEPS: dict[str, Any] = {
    "globals": {
        "TEXT": "TNR auto and cross spectra, one record per sweep (block): the 32 "
        "frequencies of bands A, B, C and D one after the other, 128 in all, fill "
        "where a band was off; the time is that of the sweep's first band."
    },
    "variables": _over(
        TNR["variables"],
        {
            EPOCH: {"CATDESC": "Time of the middle of the measurement of the sweep's first band (TT2000)"},
            "band_epoch": {
                "CATDESC": "Time of the middle of each band's measurement (TT2000, fill: band off)",
                "UNITS": "ns",
                "DIMS": _BANDS,
            },
            "scet": {"CATDESC": "Spacecraft elapsed time of the middle of each band's measurement", "DIMS": _BANDS},
            "measurement_duration": {"DIMS": _BANDS},
            "ticks_nr": {"DIMS": _BANDS},
            "delta_time": {"DIMS": _BANDS},
            "tnr_band": {
                "CATDESC": "TNR band of each part of the sweep: 0 A, 1 B, 2 C, 3 D (fill: band off)",
                "DIMS": _BANDS,
            },
            "agc1": {"DIMS": _BANDS, **_TNR_NOT_MEASURED["agc1"]},
            "agc2": {"DIMS": _BANDS, **_TNR_NOT_MEASURED["agc2"]},
            "frequency": {"CATDESC": "Frequency of each bin of the four bands"},
            **{
                name: {"CATDESC": TNR["variables"][name]["CATDESC"] + ", bands A to D", **_TNR_NOT_MEASURED[name]}
                for name in ("auto1", "auto2", "cross_r", "cross_i")
            },
        },
    ),
}

_LEVELS = ["level"]
TNR_CALIBRATION_PACKETS: dict[str, Any] = {
    "globals": {
        "TEXT": "TNR calibration spectra, one record per packet: its four bands by nine "
        "calibration levels by eight bins, fill where a band was off."
    },
    "variables": _over(
        TNR_CALIBRATION["variables"],
        {
            EPOCH: {"CATDESC": "Acquisition time of the packet (TT2000)"},
            "calibration_level": {"CATDESC": "Calibration level (fill: none of the packet)", "DIMS": _LEVELS},
            "tnr_band": {"CATDESC": "TNR band: 0 A, 1 B, 2 C, 3 D (fill: band off)", "DIMS": _BANDS},
            **{name: {"DIMS": _BANDS + _LEVELS, **_TNR_NOT_MEASURED[name]} for name in ("agc1", "agc2")},
            **{
                name: {"DIMS": _BANDS + _LEVELS + ["calibration_bin"], **_TNR_NOT_MEASURED[name]}
                for name in ("auto1", "auto2", "cross_r", "cross_i")
            },
        },
    ),
}

_HFR = ["hf_band", "level", "step"]
HFR_CALIBRATION_PACKETS: dict[str, Any] = {
    "globals": {
        "TEXT": "HFR calibration, one record per packet: its two bands by nine calibration "
        "levels by frequency steps, fill where a band was off or beyond the "
        "packet's steps."
    },
    "variables": _over(
        HFR_CALIBRATION["variables"],
        {
            EPOCH: {"CATDESC": "Acquisition time of the packet (TT2000)"},
            "hfr_band": {"CATDESC": "HFR band: 0 HF1, 1 HF2 (fill: band off)", "DIMS": ["hf_band"]},
            "calibration_level": {"CATDESC": "Calibration level (fill: none of the packet)", "DIMS": _LEVELS},
            "frequency": {
                "CATDESC": "Frequency of each step of each band (fill: no such step)",
                "DIMS": ["hf_band", "step"],
            },
            "agc1": {"DIMS": _HFR, "DISPLAY": "spectrogram", **_not_measured("value", _CH1)},
            "agc2": {"DIMS": _HFR, "DISPLAY": "spectrogram", **_not_measured("value", _CH2)},
        },
    ),
}

DAY_TABLES: dict[str, dict[str, Any]] = {
    "tnr_normal": TNR_SWEEPS,
    "tnr_burst": TNR_SWEEPS,
    "tnr_calibration": TNR_CALIBRATION_PACKETS,
    "hfr_calibration": HFR_CALIBRATION_PACKETS,
}
