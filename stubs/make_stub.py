"""Writes halvane.pyi from the built module.

Names, parameter order and kinds, and defaults come from the module itself,
that is from the signature tables its docstrings are composed from. Return
and property types come from the registration row beside each definition,
which the module hands over as its private _stub_types. Parameters are
typed here, by name (units travel in names), so a parameter, return or
property without a type stops the script instead of reaching the stub
untyped.

    python stubs/make_stub.py > stubs/halvane.pyi
"""

from __future__ import annotations

import inspect
import sys

import halvane

UTC = "tuple[int, int, int, int, int, float] | datetime.datetime"
IMAGE = "npt.NDArray[np.uint8] | npt.NDArray[np.uint16]"
MASK = "npt.NDArray[np.bool_]"
FLOATS = "Sequence[float] | npt.NDArray[np.float64]"

PARAMETERS = {
    "image": IMAGE,
    "mask": MASK,
    "frames": f"Sequence[{IMAGE}]",
    "times_utc": f"Sequence[{UTC}]",
    "utc": UTC,
    "up_cam": "Sequence[float]",
    "v": FLOATS,
    # one direction or many
    "Camera.vec_to_pixel.v": f"{FLOATS} | Sequence[Sequence[float]]",
    "x": f"float | {FLOATS}",
    "y": f"float | {FLOATS}",
    "azimuths_deg": FLOATS,
    "centroids": "Sequence[tuple[float, float, float]]",
    "catalog": "Catalog",
    "catalog_path": "str",
    "pairs_path": "str",
    "use_sun": "bool",
    "focal_px": "float | None",
    "src_focal_px": "float | None",
    "dst_focal_px": "float | None",
}
INTEGERS = {"year", "month", "day", "hour", "minute", "max_count", "max_centroids", "min_matched_stars",
            "width", "height", "dst_width", "dst_height", "seed", "bit_depth", "fill", "hr_id", "hr_a", "hr_b"}
FLOAT_NAMES = {"cx", "cy", "second", "jd", "jd_ut", "jd_tt", "k1", "k2", "k3", "k4", "mag_limit",
               "background_noise"}
FLOAT_SUFFIXES = ("_deg", "_px", "_arcmin", "_nm", "_s", "_cx", "_cy", "_k1", "_k2", "_k3", "_k4")

STUB_TYPES: dict[str, str] = halvane._stub_types


def parameter_type(qualified: str, name: str) -> str:
    if f"{qualified}.{name}" in PARAMETERS:
        return PARAMETERS[f"{qualified}.{name}"]
    if name in PARAMETERS:
        return PARAMETERS[name]
    if name in INTEGERS:
        return "int"
    if name in FLOAT_NAMES or name.endswith(FLOAT_SUFFIXES):
        return "float"
    sys.exit(f"make_stub: no type for parameter {name!r}")


def parameters(qualified: str, signature: inspect.Signature, receiver: str | None) -> str:
    out = [receiver] if receiver else []
    star_written = False
    for p in signature.parameters.values():
        if p.name == "self":
            continue
        if p.kind is p.KEYWORD_ONLY and not star_written:
            out.append("*")
            star_written = True
        text = f"{p.name}: {parameter_type(qualified, p.name)}"
        if p.default is not p.empty:
            if p.default is None and "None" not in text:
                text += " | None"
            text += f" = {p.default!r}"
        out.append(text)
    return ", ".join(out)


def function(name: str, qualified: str, obj: object, indent: str, receiver: str | None) -> list[str]:
    if qualified not in STUB_TYPES:
        sys.exit(f"make_stub: no return type for {qualified!r}")
    signature = inspect.signature(obj)
    return [f"{indent}def {name}({parameters(qualified, signature, receiver)}) -> {STUB_TYPES[qualified]}: ..."]


def klass(name: str, cls: type) -> list[str]:
    if issubclass(cls, BaseException):
        return [f"class {name}({cls.__mro__[1].__name__}): ..."]
    lines = [f"@final\nclass {name}:"]
    if cls.__text_signature__ is not None:
        lines.append(f"    def __new__({parameters(name, inspect.signature(cls), 'cls')}) -> Self: ...")
    for attribute, value in cls.__dict__.items():
        if inspect.isgetsetdescriptor(value):
            if f"{name}.{attribute}" not in STUB_TYPES:
                sys.exit(f"make_stub: no type for property {name}.{attribute}")
            lines.append(f"    @property\n    def {attribute}(self) -> {STUB_TYPES[f'{name}.{attribute}']}: ...")
        elif inspect.ismethoddescriptor(value) and not attribute.startswith("__"):
            lines += function(attribute, f"{name}.{attribute}", value, "    ", "self")
    if len(lines) == 1:
        lines.append("    ...")
    return lines


def main() -> None:
    out = [
        "# Written by stubs/make_stub.py from the built module: do not edit.",
        "import datetime",
        "from collections.abc import Sequence",
        "from typing import Self, final",
        "",
        "import numpy as np",
        "import numpy.typing as npt",
        "",
        f"__all__ = {halvane.__all__!r}",
        "__version__: str",
    ]
    for name in halvane.__all__:
        obj = getattr(halvane, name)
        out.append("")
        out += klass(name, obj) if isinstance(obj, type) else function(name, name, obj, "", None)
    print("\n".join(out))


if __name__ == "__main__":
    main()
