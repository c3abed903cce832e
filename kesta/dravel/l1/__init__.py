"""The L1 library: decode L0 stores and files into per-product records, and write and read them
as HDF5, ISTP CDF and netCDF files or xarray datasets."""
