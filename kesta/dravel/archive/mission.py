"""The mission's configuration of an archive: ARCHIVE/dravel-archive.toml, the ISTP global
attributes that name the mission in every day file, and the names the coverage page takes from
them."""

from __future__ import annotations

import os
import tomllib

from kesta.dravel.l1.errors import ConfigError
from kesta.dravel.l1.metadata import PROJECT

# What a mission sets for its archive: ARCHIVE/dravel-archive.toml, a table of these ISTP global
# attributes (any left out keeps its default, `l1.metadata.PROJECT`; Generated_by names the
# institution that makes the files, Acknowledgement and Rules_of_use, unset by default, are
# written once set):
#
#     [global_attributes]
#     PI_name = "A. Researcher"
#     PI_affiliation = "Institute of Space Physics"
#     Acknowledgement = """Please acknowledge ..."""
CONFIG_FILE = "dravel-archive.toml"
CONFIG_TABLE = "global_attributes"
MISSION_ATTRIBUTES = (
    "Project",
    "Source_name",
    "Discipline",
    "Mission_group",
    "PI_name",
    "PI_affiliation",
    "Instrument_type",
    "Generated_by",
    "Acknowledgement",
    "Rules_of_use",
)


def mission_attributes(folder: str | os.PathLike[str]) -> dict[str, str]:
    """{attribute: text} that the archive in `folder` sets in its CONFIG_FILE ({} without the
    file). ConfigError, naming the file, for a file that is not TOML, a table or attribute this
    system does not know, or a value that is not a non-blank text."""
    path = os.path.join(os.fspath(folder), CONFIG_FILE)
    try:
        with open(path, "rb") as f:
            config = tomllib.load(f)
    except FileNotFoundError:
        return {}
    except OSError as exc:
        raise ConfigError(f"{path}: cannot be read ({exc.strerror or exc})") from None
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(f"{path}: not a valid TOML file ({exc})") from None
    unknown = sorted(set(config) - {CONFIG_TABLE})
    if unknown:
        raise ConfigError(f"{path}: unknown table or key {unknown[0]!r} (the file holds a [{CONFIG_TABLE}] table)")
    table = config.get(CONFIG_TABLE, {})
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: {CONFIG_TABLE} must be a table")
    out = {}
    for key, value in table.items():
        if key not in MISSION_ATTRIBUTES:
            raise ConfigError(
                f"{path}: {key!r} is not an attribute a mission sets (one of {', '.join(MISSION_ATTRIBUTES)})"
            )
        if not isinstance(value, str) or not value.strip():
            raise ConfigError(f"{path}: {key} must be a non-blank text")
        out[key] = value
    return out


def page_names(attributes: dict[str, str] | None = None) -> dict[str, str]:
    """{"mission", "instrument"} as the coverage page names them: the mission group and the
    description part of Source_name ("ZELK>Zelk radio and plasma waves")."""
    values = {**PROJECT, **(attributes or {})}
    source = values.get("Source_name", "")
    return {"mission": values.get("Mission_group", ""), "instrument": source.split(">", 1)[-1].strip()}
