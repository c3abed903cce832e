"""Receiver command words shared by the THR products (stand-in).

Each decoding operation takes a `Data` reader and the byte where the command starts and
returns a tuple with one value per field of the matching layout, in layout order. The bit
widths are listed once, in the ``*_FIELDS`` tables below; docs/thr-bit-layout.md describes
the same layout for people.
"""

#: status word: 16 bits
ZELK_STATUS_FIELDS = (("mode", 4), ("state", 4), ("sbm", 2), ("gain", 2), ("calibration", 1), ("antenna", 3))
#: temperatures: four 10-bit readings, 40 bits
TEMPERATURES_FIELDS = (("pcb", 10), ("preamp", 10), ("tnr", 10), ("hfr", 10))
#: supply voltages: 24 bits
VOLTAGES_FIELDS = (("minus5", 8), ("plus5", 8), ("plus12", 8))
#: input setup: 16 bits
INPUT_SETUP_FIELDS = (
    ("fe", 2),
    ("sensor_tnr_1", 3),
    ("sensor_tnr_2", 3),
    ("sensor_hfr_1", 3),
    ("sensor_hfr_2", 3),
    ("mux", 2),
)
#: analysis command: 8 bits; channel 2 is item 3, channel 1 item 4
DO_ANALYSIS_FIELDS = (("rx_mode", 2), ("average", 2), ("tnr", 1), ("ch2", 1), ("ch1", 1), ("hfr", 1))

#: number of spectra averaged on board, by the 2-bit averaging code
AVERAGE_NR = (16, 32, 64, 128)


def _widths(fields):
    return tuple(width for _, width in fields)


# the widths of each table, worked out once (the helpers run once per packet or band)
_ZELK_STATUS_WIDTHS = _widths(ZELK_STATUS_FIELDS)
_TEMPERATURES_WIDTHS = _widths(TEMPERATURES_FIELDS)
_VOLTAGES_WIDTHS = _widths(VOLTAGES_FIELDS)
_INPUT_SETUP_WIDTHS = _widths(INPUT_SETUP_FIELDS)
_DO_ANALYSIS_WIDTHS = _widths(DO_ANALYSIS_FIELDS)


def _decode(widths, data, byte):
    values, _ = data.fields(int(byte) * 8, widths)
    return values


def _layout(fields, element_type):
    return [(name, element_type) for name, _ in fields]


def zelk_status(data, byte):
    return _decode(_ZELK_STATUS_WIDTHS, data, byte)


def temperatures_command(data, byte):
    return _decode(_TEMPERATURES_WIDTHS, data, byte)


def voltages(data, byte):
    return _decode(_VOLTAGES_WIDTHS, data, byte)


def input_setup(data, byte):
    return _decode(_INPUT_SETUP_WIDTHS, data, byte)


def do_analysis(data, byte):
    return _decode(_DO_ANALYSIS_WIDTHS, data, byte)


def zelk_status_dtype():
    return _layout(ZELK_STATUS_FIELDS, "uint8")


def temperatures_dtype():
    return _layout(TEMPERATURES_FIELDS, "uint16")


def voltages_dtype():
    return _layout(VOLTAGES_FIELDS, "uint8")


def input_setup_dtype():
    return _layout(INPUT_SETUP_FIELDS, "uint8")


def do_analysis_dtype():
    return _layout(DO_ANALYSIS_FIELDS, "uint8")


def average_nr(av):
    """Number of averaged spectra for an averaging code; ValueError for an unknown code."""
    code = int(av)
    if not 0 <= code < len(AVERAGE_NR):
        raise ValueError(f"unknown averaging code {code}")
    return AVERAGE_NR[code]
