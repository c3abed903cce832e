"""The mission's L1 archive: daily files from every L0 file that feeds a day, kept up to date."""
