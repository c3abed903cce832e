"""The quick-look plots of the command line live in the library (`kesta.dravel.l1.quicklook`)."""
from kesta.dravel.l1.quicklook import (PLOTS, HDF5Records, Records, masked, plot_histograms,  # noqa: F401
                                       plot_hfr_calibration, plot_psd, plot_snapshots,
                                       plot_spectral_matrices, plot_tnr_calibration,
                                       plot_tnr_survey, quicklook_file, records)
