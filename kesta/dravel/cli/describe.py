"""`dravel describe`: the L1 variables of products."""

from __future__ import annotations

import argparse

from kesta.dravel.l1 import describe
from kesta.dravel.l1.decode import select_products
from kesta.dravel.products import PRODUCTS

from . import options
from .commands import Console


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    names = ", ".join(p.name for p in PRODUCTS)
    p = options.command(
        subparsers,
        "describe",
        help="list the L1 variables of a product",
        description="List each L1 variable of a product's day files with its type, "
        "dimensions, units and fill value, named as the CDF files and the HAPI "
        "server hold them (<product>_<field>, and Epoch; netCDF files name them "
        "by the field alone).",
    )
    p.add_argument("products", nargs="*", metavar="PRODUCT", help=f"products (default: all; known: {names})")
    p.add_argument("--markdown", action="store_true", help="as Markdown, the sections of the docs' product reference")
    return p


def run(args: argparse.Namespace, console: Console) -> int:
    chosen = select_products(args.products)
    if args.markdown:
        console.out(*describe.markdown([p.name for p in chosen]))
    else:
        for product in chosen:
            console.out(*describe.describe(product.name), "")
    return 0
