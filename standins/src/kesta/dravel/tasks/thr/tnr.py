"""TNR command words, band spectra, the L1 TNR layout and the duration table (stand-in).

Bit widths are listed once here; docs/thr-bit-layout.md describes them for people.
"""

import numpy as np

#: TNR setup command: 8 bits, in the order of the returned tuple
TNR_SETUP_FIELDS = (("av", 2), ("cr", 1), ("au", 1), ("d", 1), ("c", 1), ("b", 1), ("a", 1))
#: tick count of each band, bands A to D
DELTA_TIME_BITS = 32

#: bit widths of one band's spectra
AGC_BITS = 12
AUTO_BITS = 11
CROSS_BITS = 9  # real and imaginary part each
#: frequency bins per band
SURVEY_BINS = 32
CALIBRATION_BINS = 8

#: DURATION[av, band] * 100.0 is the measurement duration of one band (av code 0 to 3)
DURATION = np.array(
    [
        [0.0355, 0.0089, 0.0023, 0.0006],
        [0.0710, 0.0178, 0.0046, 0.0012],
        [0.1420, 0.0356, 0.0092, 0.0024],
        [0.2840, 0.0712, 0.0184, 0.0048],
    ],
    dtype=np.float64,
)


_TNR_SETUP_WIDTHS = tuple(w for _, w in TNR_SETUP_FIELDS)


def tnr_setup(data, byte):
    values, _ = data.fields(int(byte) * 8, _TNR_SETUP_WIDTHS)
    return values


def delta_times(data, byte):
    values, _ = data.fields(int(byte) * 8, (DELTA_TIME_BITS,) * 4)
    return values


def band_widths(nbins, ch1, ch2, au, cr):
    """Bit widths of one enabled band's fields, in stream order."""
    widths = []
    for on in (ch1, ch2):
        if on:
            widths.append(AGC_BITS)
            if au:
                widths.extend((AUTO_BITS,) * nbins)
    if cr and ch1 and ch2:
        widths.extend((CROSS_BITS,) * (2 * nbins))
    return tuple(widths)


_widths_cache = {}


def _extract(nbins, flag, ch1, ch2, au, cr, data, byte, bitoff):
    flag = int(flag)
    if flag not in (0, 1):
        raise ValueError(f"band enable flag must be 0 or 1, got {flag}")
    bitoff = int(bitoff)
    if bitoff < 0:
        raise ValueError(f"negative bit offset {bitoff}")
    zeros = (0,) * nbins
    if flag == 0:
        return ((0, zeros), (0, zeros), ((0, 0),) * nbins), bitoff
    key = (nbins, bool(ch1), bool(ch2), bool(au), bool(cr))
    widths = _widths_cache.get(key)
    if widths is None:
        widths = _widths_cache[key] = band_widths(*key)
    values, end = data.fields(int(byte) * 8 + bitoff, widths)
    pos = 0
    channels = []
    for on in (key[1], key[2]):
        if on:
            agc = values[pos]
            pos += 1
            if key[3]:
                autos = values[pos : pos + nbins]
                pos += nbins
            else:
                autos = zeros
            channels.append((agc, autos))
        else:
            channels.append((0, zeros))
    if len(values) > pos:
        cross = tuple(zip(values[pos::2], values[pos + 1 :: 2]))
    else:
        cross = ((0, 0),) * nbins
    return (channels[0], channels[1], cross), end - int(byte) * 8


def extract_band(flag, ch1, ch2, au, cr, data, byte, bitoff):
    """One survey band (32 bins): ((ch1), (ch2), cross), next bit offset from `byte`."""
    return _extract(SURVEY_BINS, flag, ch1, ch2, au, cr, data, byte, bitoff)


def extract_calibration_band(flag, ch1, ch2, au, cr, data, byte, bitoff):
    """One calibration band (8 bins), same layout as `extract_band`."""
    return _extract(CALIBRATION_BINS, flag, ch1, ch2, au, cr, data, byte, bitoff)


def tnr_dtype():
    """L1 TNR record: survey spectra and calibration levels share it."""
    from kesta.dravel.tasks.thr import science_tools as st

    nstatus = len(st.zelk_status_dtype())
    ntemp = len(st.temperatures_dtype())
    return [
        ("epoch", "int64"),
        ("scet", "float64"),
        ("acquisition_time", "uint32", (2,)),
        ("synchro_flag", "uint8"),
        ("quality_flag", "uint8"),
        ("quality_bitmask", "uint16"),
        ("sweep_num", "uint32"),
        ("measurement_duration", "float64"),
        ("ticks_nr", "uint32"),
        ("delta_time", "float64"),
        ("survey_mode", "uint8"),
        ("average_nr", "uint8"),
        ("auto_cross_status", "uint8", (2,)),
        ("channel_status", "uint8", (2,)),
        ("front_end", "uint8"),
        ("sensor_config", "uint8", (2,)),
        ("zelk_status", "uint8", (nstatus,)),
        ("temperature", "uint16", (ntemp,)),
        ("tnr_band", "uint8"),
        ("calibration_level", "uint8"),
        ("frequency", "float32", (SURVEY_BINS,)),
        ("agc1", "uint16"),
        ("agc2", "uint16"),
        ("auto1", "uint16", (SURVEY_BINS,)),
        ("auto2", "uint16", (SURVEY_BINS,)),
        ("cross_r", "uint16", (SURVEY_BINS,)),
        ("cross_i", "uint16", (SURVEY_BINS,)),
    ]
