"""The L1 variables of each product, as text: what `dravel describe` prints and the README's
L1 section is made of. Read from the layout of the product's day records, the tables and the
fill-value component, through the functions the writers use, so it says what the files hold.
"Kind" is the ISTP VAR_TYPE, and for data how it is drawn (DISPLAY_TYPE)."""
from __future__ import annotations

from . import attributes as attrs
from .dayrecords import day_dtype
from .layout import EPOCH


def _rows(product, stored=True):
    """A row per variable of the product's day files; `stored`: named as the CDF files and the
    HAPI server hold them (`attributes.stored_name`), else by their record field's name."""
    rows = []
    for var in attrs.variables(product, day_dtype(product)):
        name = attrs.stored_name(product, var.name) if stored else var.name
        dims = ", ".join([EPOCH] + [f"{d} {n}" for d, n in zip(var.dims, var.leaf.shape)])
        fill = "TT2000 fill" if var.name == EPOCH else repr(var.fill.item())
        kind = var.var_type + (f", {var.display}" if var.display and var.var_type == "data" else "")
        rows.append((name, var.leaf.dtype.name, dims, var.units.strip() or "-", fill, kind, var.catdesc))
    return rows


def describe(product):
    """Text lines listing the L1 variables of `product`, named as its CDF files and the HAPI
    server hold them."""
    table = attrs.table(product).get("globals", {})
    head = ("variable", "type", "dimensions", "units", "fill", "kind", "description")
    rows = _rows(product)
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head) - 1)]
    line = lambda r: "  ".join(c.ljust(w) for c, w in zip(r, widths)) + "  " + r[-1]
    return [f"{product}: {table.get('Logical_source_description', product)}", line(head)] + [line(r) for r in rows]


def markdown(products=None):
    """The L1 section of the README: one table of variables per product, the variables named by
    their record field (stored in CDF files as `<product>_<field>`, see `attributes.stored_name`)."""
    from kesta.dravel.products import BY_NAME

    groups = {}    # products whose variables are the same share one table
    for product in products or list(BY_NAME):
        rows = tuple(_rows(product, stored=False))
        groups.setdefault(rows, []).append(product)
    lines = []
    for rows, names in groups.items():
        table = attrs.table(names[0]).get("globals", {})
        title = ", ".join(f"`{n}`" for n in names)
        lines += [f"#### {title}: {table.get('Logical_source_description', names[0])}", "",
                  "| Variable | Type | Dimensions | Units | Fill value | Kind | Description |",
                  "|---|---|---|---|---|---|---|"]
        lines += ["| `{}` | {} | {} | {} | {} | {} | {} |".format(*r) for r in rows]
        lines.append("")
    return lines
