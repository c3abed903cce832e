"""LFM spectral matrices and power spectral densities."""

import numpy as np
import pytest

from kesta.dravel.simulate.lfm import (
    PSD,
    PSD_PACKET,
    SM,
    SM_PACKET,
    SpecMat,
    Spectra,
    density_group,
    density_store,
    expected_density,
    expected_specmat,
    specmat_group,
    specmat_store,
)
from kesta.dravel.simulate.store import l0_store, write_hdf5
from kesta.dravel.tasks.tds import slowmode_density, slowmode_specmat

from records_support import assert_same_records

FILL8 = -128
FILL16 = 0xFFFF

# product: (decoder, packet, record type, packet class, group builder, store builder)
PRODUCTS = {
    "sm": (slowmode_specmat.set_sm, SM_PACKET, SM, SpecMat, specmat_group, specmat_store),
    "psd": (slowmode_density.set_psd, PSD_PACKET, PSD, Spectra, density_group, density_store),
}


def decode_sm(packets, task, **kwargs):
    store, expected = specmat_store(packets, **kwargs)
    return slowmode_specmat.set_sm(store, task), expected


def decode_psd(packets, task, **kwargs):
    store, expected = density_store(packets, **kwargs)
    return slowmode_density.set_psd(store, task), expected


@pytest.mark.parametrize("product", ["sm", "psd"])
class TestBothProducts:
    def test_layout_and_exports(self, product):
        module = {"sm": slowmode_specmat, "psd": slowmode_density}[product]
        layout = PRODUCTS[product][2]
        name = {"sm": "SM", "psd": "PSD"}[product]
        assert getattr(module, name) == layout
        assert layout.itemsize == sum(layout.fields[n][0].itemsize for n in layout.names)
        assert len(layout.names) == {"sm": 16, "psd": 15}[product]
        assert module.__all__ == [name, PRODUCTS[product][0].__name__]

    def test_absent_packet_type_is_empty_without_filling(self, product, task, debug_lines, monkeypatch):
        import tesmo.converters.cdf_fill as cdf_fill

        decoder, packet, layout = PRODUCTS[product][:3]
        calls = []
        monkeypatch.setattr(cdf_fill, "fill_records", calls.append)
        out = decoder(l0={"TM": {}}, task=task)
        assert out.dtype == layout and len(out) == 0 and calls == []
        assert debug_lines() == ["Get data for " + packet]

    def test_present_but_empty_packet_type(self, product, task, debug_lines):
        decoder, packet, layout, cls, group_of = PRODUCTS[product][:5]
        group = {k: v[:0] for k, v in group_of([cls()]).items()}
        group[next(k for k in group if k.endswith("DATA_BLK"))] = np.zeros((0, 5), np.int32)  # never looked at
        out = decoder(l0_store({packet: group}), task)
        assert out.dtype == layout and len(out) == 0
        assert debug_lines() == ["Get data for " + packet, "Number of packets: 0"]

    def test_shuffled_packets_come_out_in_time_order(self, product, task, debug_lines):
        decoder, packet, _, cls, _, store_of = PRODUCTS[product]
        rng = np.random.default_rng(11)
        packets = [
            cls(
                time=(700_000 + (i // 3), 1000 * (i % 3), i % 2),
                nf=int(rng.integers(0, 201)),
                srclen=i,
                freq_axis=i % 3,
                bia=tuple(rng.integers(0, 4, 6)),
                inputs=tuple(rng.integers(0, 9, 6)),
                artefacts=tuple(rng.integers(0, 2, 16)),
            )
            for i in range(40)
        ]
        for i, p in enumerate(packets):
            if product == "sm":
                p.type = (1, 2, 3, 0)[i % 4]
            else:
                p.channels = tuple(rng.integers(0, 3, 6))
        store, expected = store_of(packets, rng=rng, shuffle=True)
        out = decoder(store, task)
        assert_same_records(out, expected)
        assert debug_lines() == ["Get data for " + packet, "Number of packets: 40"]

    def test_hdf5_store_decodes_like_a_dict(self, product, tmp_path, task):
        import h5py

        decoder, packet, _, cls, group_of = PRODUCTS[product][:5]
        packets = [cls(time=(800_000 + i, 0, 1), nf=30 + i) for i in range(4)]
        path = tmp_path / "l0.h5"
        write_hdf5(path, {packet: group_of(packets, rng=np.random.default_rng(1))})
        expected = (expected_specmat if product == "sm" else expected_density)(packets)
        with h5py.File(path, "r") as f:
            assert_same_records(decoder(f, task), expected)

    def test_all_packet_times_are_converted_in_one_call_each(self, product, task, recording_time):
        decoder, _, _, cls, _, store_of = PRODUCTS[product]
        store, _ = store_of([cls(time=(900_000 + i, 5 * i, 1)) for i in (2, 0, 1)], shuffle=False)
        # -1: before the on-board epoch, stored modulo 2^64
        calls = recording_time(utc=np.array([-1, 2, 3]), scet=[0.5, 1.5, 2.5])
        out = decoder(store, task)
        pairs = [[900_000, 0], [900_001, 5], [900_002, 10]]
        assert calls == [("obt_to_utc", pairs, True), ("cuc_to_scet", pairs)]
        assert out["epoch"].tolist() == [2**64 - 1, 2, 3] and out["scet"].tolist() == [0.5, 1.5, 2.5]

    def test_time_service_returning_too_few_values(self, product, task, monkeypatch):
        import quorel.time

        decoder, _, _, cls, _, store_of = PRODUCTS[product]
        store, _ = store_of([cls(time=(1000, 0, 1)), cls(time=(1001, 0, 1))])
        monkeypatch.setattr(quorel.time.Time, "cuc_to_scet", staticmethod(lambda t: np.zeros(1)))
        with pytest.raises(ValueError, match="cuc_to_scet returned 1 values for 2 times"):
            decoder(store, task)

    @pytest.mark.parametrize("param", ["PA_TDS_LF_ART_LFR_OFF", "PA_BIA_MODE_MUX_SET"])
    def test_missing_header_parameter_is_named(self, product, param, task):
        decoder, packet, _, cls, group_of = PRODUCTS[product][:5]
        group = group_of([cls()])
        del group[param]
        with pytest.raises(KeyError, match=param):
            decoder(l0_store({packet: group}), task)


class TestSpectralMatrices:
    def test_type_one_word_order(self, task):
        words = np.array([0x0201, 0x0403, 0x0605, 0x0807, 0x0A09, 0x0C0B], dtype=np.uint16)
        group = specmat_group([SpecMat(type=1, nf=2, width=6)])
        group["PA_TDS_SLOWMODE_SPECMAT_DATA_BLK"][0] = words
        rec = slowmode_specmat.set_sm(l0_store({SM_PACKET: group}), task)[0]
        assert rec["cross_re"][:3, :2].tolist() == [[1, 7], [3, 9], [5, 11]]
        assert rec["cross_im"][:3, :2].tolist() == [[2, 8], [4, 10], [6, 12]]
        for part in ("cross_re", "cross_im"):
            assert (rec[part][3:] == FILL8).all() and (rec[part][:, 2:] == FILL8).all()

    def test_signed_bytes(self, task):
        group = specmat_group([SpecMat(type=1, nf=1)])
        group["PA_TDS_SLOWMODE_SPECMAT_DATA_BLK"][0] = [0x80FF, 0x7F00, 0x0180]
        rec = slowmode_specmat.set_sm(l0_store({SM_PACKET: group}), task)[0]
        assert rec["cross_re"][:3, 0].tolist() == [-1, 0, -128]
        assert rec["cross_im"][:3, 0].tolist() == [-128, 127, 1]

    def test_full_type_two_matrix(self, task):
        out, expected = decode_sm([SpecMat(type=2, nf=200)], task)
        assert_same_records(out, expected)
        assert out["sm_freq_nr"][0] == 200 and not (out["cross_re"][0] == FILL8).all()

    def test_every_frequency_count_of_both_types(self, task):
        # Matrices are split sixteen and eight frequencies at a time, then one by one: every
        # count from 0 to 200 meets each way, and a wider data row changes nothing.
        packets = [
            SpecMat(type=1 + i % 2, nf=nf, time=(1000 + i, 0, 1), width=2000 if i % 3 == 0 else None)
            for i, nf in enumerate(list(range(201)) * 2)
        ]
        out, expected = decode_sm(packets, task, rng=np.random.default_rng(3))
        assert_same_records(out, expected)

    @pytest.mark.parametrize("sm_type", [0, 3, 255])
    def test_unknown_type_keeps_matrices_at_fill(self, sm_type, task):
        out, expected = decode_sm([SpecMat(type=sm_type, nf=200, width=2000)], task)
        assert_same_records(out, expected)
        assert out["sm_type"][0] == sm_type and (out["cross_re"] == FILL8).all() and (out["cross_im"] == FILL8).all()

    def test_type_selects_by_its_own_value_not_the_stored_byte(self, task):
        group = specmat_group([SpecMat(type=1, nf=3)])
        group["PA_TDS_SLOWMODE_SPECMAT_TYPE"] = np.array([257], dtype=np.uint16)  # stored as 1
        rec = slowmode_specmat.set_sm(l0_store({SM_PACKET: group}), task)[0]
        assert rec["sm_type"] == 1 and (rec["cross_re"] == FILL8).all()

    @pytest.mark.parametrize("dtype", ["int16", ">u2", "uint32", "uint8", "float64"])
    def test_data_block_must_be_native_unsigned_words(self, dtype, task):
        group = specmat_group([SpecMat()])
        group["PA_TDS_SLOWMODE_SPECMAT_DATA_BLK"] = group["PA_TDS_SLOWMODE_SPECMAT_DATA_BLK"].astype(dtype)
        with pytest.raises(TypeError, match="PA_TDS_SLOWMODE_SPECMAT_DATA_BLK has element type"):
            slowmode_specmat.set_sm(l0_store({SM_PACKET: group}), task)

    def test_short_data_row_ends_the_call(self, task):
        packets = [SpecMat(type=2, nf=20, time=(1, 0, 1)), SpecMat(type=1, nf=70, time=(2, 0, 1))]
        group = specmat_group(packets)
        assert group["PA_TDS_SLOWMODE_SPECMAT_DATA_BLK"].shape[1] == 210
        group["PA_TDS_SLOWMODE_SPECMAT_NUM_FREQS"][1] = 71
        match = r"DATA_BLK of packet 1 holds 210 words, fewer than the 71 frequencies x 3"
        with pytest.raises(ValueError, match=match):
            slowmode_specmat.set_sm(l0_store({SM_PACKET: group}), task)

    def test_too_many_frequencies(self, task):
        group = specmat_group([SpecMat(type=1, nf=201, width=1000)])
        with pytest.raises(ValueError, match="NUM_FREQS of packet 0 is 201"):
            slowmode_specmat.set_sm(l0_store({SM_PACKET: group}), task)
        out, expected = decode_sm([SpecMat(type=3, nf=201)], task)  # no matrix to fit
        assert_same_records(out, expected)


class TestPowerSpectralDensities:
    def test_spectra_go_to_the_enabled_channels_in_order(self, task):
        spectra = np.zeros((6, 3), np.uint16)
        spectra[[0, 2, 5]] = [[10, 11, 12], [20, 21, 22], [30, 31, 32]]
        out, expected = decode_psd([Spectra(channels=(1, 0, 1, 0, 0, 1), nf=3, spectra=spectra)], task)
        assert_same_records(out, expected)
        data = out["psd_data"][0]
        assert data[[0, 2, 5], :3].tolist() == [[10, 11, 12], [20, 21, 22], [30, 31, 32]]
        assert (data[[1, 3, 4]] == FILL16).all() and (data[:, 3:] == FILL16).all()

    def test_flag_two_is_not_an_enabled_channel(self, task):
        spectra = np.arange(12, dtype=np.uint16).reshape(6, 2)
        out, expected = decode_psd([Spectra(channels=(2, 1, 0, 0, 0, 0), nf=2, spectra=spectra)], task)
        assert_same_records(out, expected)
        assert out["psd_data"][0, 1, :2].tolist() == [2, 3] and (out["psd_data"][0, 0] == FILL16).all()
        assert out["channel_status_info"][0].tolist() == [2, 1, 0, 0, 0, 0]

    def test_no_enabled_channel_keeps_every_spectrum_at_fill(self, task):
        out, expected = decode_psd([Spectra(channels=(0,) * 6, nf=250, width=0)], task)
        assert_same_records(out, expected)
        assert (out["psd_data"] == FILL16).all() and out["psd_freq_nr"][0] == 250

    def test_data_block_values_take_numpy_conversions(self, task):
        group = density_group([Spectra(channels=(1, 0, 0, 0, 0, 0), nf=3)])
        group["PA_TDS_SLOWMODE_DENSITY_DATA_BLK"] = np.array([[-1, 65536, 7]], dtype=np.int64)
        rec = slowmode_density.set_psd(l0_store({PSD_PACKET: group}), task)[0]
        assert rec["psd_data"][0, :3].tolist() == [65535, 0, 7]

    def test_short_data_row_ends_the_call(self, task):
        group = density_group([Spectra(channels=(1, 1, 1, 0, 0, 0), nf=10)])
        group["PA_TDS_SLOWMODE_DENSITY_DATA_BLK"] = group["PA_TDS_SLOWMODE_DENSITY_DATA_BLK"][:, :25]
        with pytest.raises(
            ValueError,
            match=r"DATA_BLK of packet 0 holds 25 values, too few for the spectrum of "
            r"channel 3",
        ):
            slowmode_density.set_psd(l0_store({PSD_PACKET: group}), task)

    def test_too_many_frequencies_for_an_enabled_channel(self, task):
        group = density_group([Spectra(channels=(0, 0, 0, 0, 1, 0), nf=201)])
        with pytest.raises(ValueError, match="NUM_FREQS of packet 0 is 201"):
            slowmode_density.set_psd(l0_store({PSD_PACKET: group}), task)

    def test_missing_data_block_is_named(self, task):
        group = density_group([Spectra()])
        del group["PA_TDS_SLOWMODE_DENSITY_DATA_BLK"]
        with pytest.raises(KeyError, match="PA_TDS_SLOWMODE_DENSITY_DATA_BLK"):
            slowmode_density.set_psd(l0_store({PSD_PACKET: group}), task)
