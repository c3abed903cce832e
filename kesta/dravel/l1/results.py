"""What a decode run gives: per product its status, counts, reports and warnings (and its
records, when kept), per run its products, notes and files.

A product ends ``ok``; ``partial`` when some of its units were reported (what became of them
the product says: skipped, or kept with fill data); ``failed`` when the decoder raised, or
packets came in and every unit was lost; ``skipped`` when its decoder is not installed.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from kesta.dravel import products as registry

from .store import first_line

# Product statuses. SKIPPED (its decoder is not installed) is a status of a whole product;
# what becomes of a reported unit is the product's own `reported` (registry.UNIT_SKIPPED, ...).
OK, PARTIAL, FAILED, SKIPPED = "ok", "partial", "failed", "skipped"
SHORT = 100  # characters of a report quoted in a one-line message


def shorten(text: object, width: int = SHORT) -> str:
    """`text` cut to `width` characters, marked when cut."""
    text = str(text)
    return text if len(text) <= width else text[: width - 3] + "..."


@dataclass
class ProductResult:
    product: str
    packet_type: str
    packets: int = 0  # packets in
    records: int = 0  # records out
    status: str = OK
    message: str = ""  # the error, or why the product was skipped
    reports: list = field(default_factory=list)  # what the decoder reported, one text per unit
    warnings: list = field(default_factory=list)  # what it logged at warning level
    seconds: float = 0.0
    outputs: list = field(default_factory=list)  # the files holding its records
    data: np.ndarray | None = field(default=None, repr=False)  # the records, when kept

    @property
    def failed(self) -> bool:
        return self.status == FAILED

    def summary(self) -> str:
        """The status with its reason, in one line."""
        if self.status == OK:
            return OK
        if self.status == PARTIAL:
            unit = registry.BY_NAME[self.product].unit if self.product in registry.BY_NAME else "unit"
            fate = registry.BY_NAME[self.product].reported if self.product in registry.BY_NAME else "reported"
            return f"{PARTIAL}: {len(self.reports)} {unit}(s) {fate}"
        return f"{self.status}: {self.message}"

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> ProductResult:
        """The result `as_dict` gave."""
        return cls(**data)

    def as_dict(self) -> dict[str, Any]:
        """The result without its records, as plain data (for run reports)."""
        return {
            "product": self.product,
            "packet_type": self.packet_type,
            "packets": self.packets,
            "records": self.records,
            "status": self.status,
            "message": self.message,
            "reports": [str(r) for r in self.reports],
            "warnings": list(self.warnings),
            "seconds": round(self.seconds, 6),
            "outputs": list(self.outputs),
        }


@dataclass
class DecodeResult:
    input: str
    products: list = field(default_factory=list)  # ProductResult, in registry order
    notes: list = field(default_factory=list)  # packet types nobody decodes, and the like
    outputs: list = field(default_factory=list)  # files written

    @property
    def failed(self) -> list[ProductResult]:
        return [p for p in self.products if p.status == FAILED]

    @property
    def partial(self) -> list[ProductResult]:
        return [p for p in self.products if p.status == PARTIAL]

    @property
    def records(self) -> int:
        return sum(p.records for p in self.products)

    def as_dict(self) -> dict[str, Any]:
        """The run without its records, as plain data (for run reports)."""
        return {
            "input": self.input,
            "outputs": list(self.outputs),
            "notes": list(self.notes),
            "products": [p.as_dict() for p in self.products],
        }

    def __getitem__(self, product: str) -> ProductResult:
        for p in self.products:
            if p.product == product:
                return p
        raise KeyError(product)


def judge(product: registry.Product, result: ProductResult) -> None:
    """Sets the status of a product whose decoder returned: partial when units were reported,
    failed when packets came in and every unit was lost. Packets that hold no record and were
    not reported (a calibration with its analyses switched off) leave the product ok."""
    if result.status != OK or not result.reports:
        return
    lost = len(result.reports) if product.reported == registry.UNIT_KEPT else 0
    if result.packets and (result.records == 0 or (lost and lost >= result.records)):
        result.status = FAILED
        result.message = (
            f"every {product.unit} was lost ({len(result.reports)} reported): "
            f"{shorten(first_line(result.reports[0], last=True))}"
        )
    else:
        result.status = PARTIAL
