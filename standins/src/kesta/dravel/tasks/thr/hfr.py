"""HFR command words, calibration channel values, the frequency rule and the L1 HFR layout
(stand-in). Bit widths are listed once here; docs/thr-bit-layout.md describes them for people.
"""

#: HFR setup command: 16 bits, in the order of the returned tuple
HFR_SETUP_FIELDS = (("sw", 2), ("initial_frequency", 9), ("hf2", 1), ("hf1", 1), ("av", 3))
#: HFR sweep setup: 36 bits followed by 4 reserved bits (40 bits, 5 bytes)
HFR_SWEEP_FIELDS = (("hf2_step", 10), ("hf2_size", 8), ("hf1_step", 10), ("hf1_size", 8))
HFR_SWEEP_RESERVED_BITS = 4
#: bit width of one calibration value
VALUE_BITS = 13
#: values kept per band and channel
MAX_STEPS = 512

#: frequency rule: kHz = BASE_KHZ + STEP_KHZ * (frequency index)
BASE_KHZ = 375
STEP_KHZ = 50


_HFR_SETUP_WIDTHS = tuple(w for _, w in HFR_SETUP_FIELDS)
_HFR_SWEEP_WIDTHS = tuple(w for _, w in HFR_SWEEP_FIELDS)


def hfr_setup(data, byte):
    values, _ = data.fields(int(byte) * 8, _HFR_SETUP_WIDTHS)
    return values


def hfr_sweep_setup(data, byte):
    values, _ = data.fields(int(byte) * 8, _HFR_SWEEP_WIDTHS)
    return values


def _band_flag(name, value):
    value = int(value)
    if value not in (0, 1):
        raise ValueError(f"{name} enable flag must be 0 or 1, got {value}")
    return value


def extract_band(ch_flag, hf1, hf2, hf1_steps, hf2_steps, data, byte, bitoff):
    """One channel of one calibration level: ((hf1 values, hf2 values), next bit offset).

    A channel whose flag is 0 carries nothing. Otherwise the enabled bands follow each other,
    HF1 first, one VALUE_BITS value per frequency step. Each band value holds MAX_STEPS
    entries; steps past MAX_STEPS are read (they take room in the stream) but not kept.
    """
    hf1 = _band_flag("hf1", hf1)
    hf2 = _band_flag("hf2", hf2)
    hf1_steps = int(hf1_steps)
    hf2_steps = int(hf2_steps)
    if hf1_steps < 0 or hf2_steps < 0:
        raise ValueError(f"negative step count: hf1 {hf1_steps}, hf2 {hf2_steps}")
    bitoff = int(bitoff)
    if bitoff < 0:
        raise ValueError(f"negative bit offset {bitoff}")
    start = int(byte) * 8 + bitoff
    pos = start
    bands = []
    for enabled, steps in ((hf1, hf1_steps), (hf2, hf2_steps)):
        if ch_flag and enabled and steps:
            values, pos = data.fields(pos, (VALUE_BITS,) * steps)
            values = values[:MAX_STEPS]
            bands.append(values + (0,) * (MAX_STEPS - len(values)))
        else:
            bands.append((0,) * MAX_STEPS)
    return (bands[0], bands[1]), bitoff + (pos - start)


def compute_frequency(initial_frequency, j, hf1_size, hf1_step, hf2_size, band):
    """Frequency in kHz of step `j` of a sweep.

    HF1 starts at `initial_frequency` and moves `hf1_size` indexes per step; HF2 starts
    where HF1 ends (after `hf1_step` steps) and moves `hf2_size` indexes per step.
    """
    if isinstance(band, bytes):
        band = band.decode()
    if band == "hf1":
        index = int(initial_frequency) + int(j) * int(hf1_size)
    elif band == "hf2":
        index = int(initial_frequency) + int(hf1_step) * int(hf1_size) + int(j) * int(hf2_size)
    else:
        raise ValueError(f"unknown HFR band {band!r}")
    return BASE_KHZ + STEP_KHZ * index


def hfr_dtype():
    """L1 HFR record: one calibration value pair per band, level and frequency step."""
    from kesta.dravel.tasks.thr import science_tools as st

    return [
        ("epoch", "int64"),
        ("scet", "float64"),
        ("acquisition_time", "uint32", (2,)),
        ("synchro_flag", "uint8"),
        ("quality_flag", "uint8"),
        ("quality_bitmask", "uint16"),
        ("frequency", "uint32"),
        ("calibration_level", "uint8"),
        ("survey_mode", "uint8"),
        ("average_nr", "uint8"),
        ("channel_status", "uint8", (2,)),
        ("front_end", "uint8"),
        ("sensor_config", "uint8", (2,)),
        ("temperature", "uint16", (len(st.temperatures_dtype()),)),
        ("hfr_band", "uint8"),
        ("agc1", "uint16"),
        ("agc2", "uint16"),
    ]
