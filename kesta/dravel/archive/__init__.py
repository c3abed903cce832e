"""The L1 archive: daily L1 files per product, and the pages that show what it holds."""
