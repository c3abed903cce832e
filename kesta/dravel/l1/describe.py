"""The L1 variables of each product, as text: what `dravel describe` prints and the product
reference of the docs is made of. Read from the layout of the product's day records, the tables and the
fill-value component, through the functions the writers use, so it says what the files hold.
"Kind" is the ISTP VAR_TYPE, and for data how it is drawn (DISPLAY_TYPE)."""

from __future__ import annotations

from kesta.dravel.products import BY_NAME, UNIT_SKIPPED, Product

from . import attributes as attrs
from .dayrecords import day_dtype
from .layout import EPOCH


def _rows(product: str, stored: bool = True) -> list[tuple[str, ...]]:
    """A row per variable of the product's day files; `stored`: named as the CDF files and the
    HAPI server hold them (`attributes.stored_name`), else by their record field's name."""
    rows: list[tuple[str, ...]] = []
    for var in attrs.variables(product, day_dtype(product)):
        name = attrs.stored_name(product, var.name) if stored else var.name
        dims = ", ".join([EPOCH] + [f"{d} {n}" for d, n in zip(var.dims, var.leaf.shape)])
        fill = "TT2000 fill" if var.name == EPOCH else repr(var.fill.item())
        kind = var.var_type + (f", {var.display}" if var.display and var.var_type == "data" else "")
        rows.append((name, var.leaf.dtype.name, dims, var.units.strip() or "-", fill, kind, var.catdesc))
    return rows


def describe(product: str) -> list[str]:
    """Text lines listing the L1 variables of `product`, named as its CDF files and the HAPI
    server hold them."""
    table = attrs.table(product).get("globals", {})
    head = ("variable", "type", "dimensions", "units", "fill", "kind", "description")
    rows = _rows(product)
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head) - 1)]

    def line(r: tuple[str, ...]) -> str:
        return "  ".join(c.ljust(w) for c, w in zip(r, widths)) + "  " + r[-1]

    return [f"{product}: {table.get('Logical_source_description', product)}", line(head)] + [line(r) for r in rows]


def _decoder(product: Product) -> str:
    """The product's decoder call, as its section names it: `module.entry(argument, task, ...)`."""
    args = ["group" if product.takes_group else "l0", "task"]
    args += [f"{k}={v!r}" for k, v in product.kwargs]
    return f"{product.module}.{product.entry}({', '.join(args)})"


def _layout(product: Product) -> str:
    layout = product.layout
    assert layout is not None  # every product of the registry declares its records' layout
    return f"`{layout.name}{'()' if layout.called else ''}` of `{layout.module}`"


def markdown(products: list[str] | None = None) -> list[str]:
    """The sections of the product reference: per product, its decoder and a table of the
    variables of its day files, named by their record field (stored in CDF files as
    `<product>_<field>`, see `attributes.stored_name`)."""
    lines = []
    for name in products or list(BY_NAME):
        product = BY_NAME[name]
        title = attrs.table(name).get("globals", {}).get("Logical_source_description", name)
        handed = "its packet group (`TM/<packet>/source_data`)" if product.takes_group else "the whole L0 store"
        reported = "skipped" if product.reported == UNIT_SKIPPED else "kept, its data at fill values"
        example = next(r[0] for r in _rows(name) if r[5].startswith("data"))
        lines += [
            f"## `{name}` {{#{name}}}",
            "",
            f"{title}.",
            "",
            "| | |",
            "|---|---|",
            f"| Decoder | `{_decoder(product)}` |",
            f"| Packet type | `{product.packet}` |",
            f"| Handed | {handed} |",
            f"| Decoder records | {_layout(product)} |",
            f"| A reported {product.unit} | {reported} |",
            f"| Names in CDF files and HAPI | `{name}_<variable>` (`{example}`), `{EPOCH}` as it is |",
            "",
            "Variables of its day files:",
            "",
            "| Variable | Type | Dimensions | Units | Fill value | Kind | Description |",
            "|---|---|---|---|---|---|---|",
        ]
        lines += ["| `{}` | {} | {} | {} | {} | {} | {} |".format(*r) for r in _rows(name, stored=False)]
        lines.append("")
    return lines
