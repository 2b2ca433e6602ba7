"""A reader of ORTEC .spe text spectra (GammaVision, Maestro and compatible).

    read_spe(path) -> Spe

`$DATA:` is followed by a `first last` channel line and one count per line;
`$MEAS_TIM:` holds live and real time in seconds; `$MCA_CAL:` (else `$ENER_FIT:`)
the energy calibration E = a + b ch + c ch^2 in keV, ch counted from 0 at the
channel's centre; `$SHAPE_CAL:` the acquisition program's FWHM calibration, where
present; `$ROI:` the operator's regions as channel pairs. A calibration that is all
zeros, or that does not rise over the channels, is reported as absent (None).
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
from numpy.typing import NDArray


@dataclass
class Spe:
    counts: NDArray[np.float64]
    live_time: float | None
    real_time: float | None
    calibration: NDArray[np.float64] | None   # (a, b, c) keV, or None
    shape_calibration: NDArray[np.float64] | None
    rois: NDArray[np.int64]                   # (k, 2) channel pairs
    first_channel: int = 0

    def energy(self, channel):
        """Energy in keV at (fractional) channel numbers counted from 0 at the first centre."""
        if self.calibration is None:
            raise ValueError("the spectrum has no energy calibration")
        a, b, c = self.calibration
        ch = np.asarray(channel, dtype=np.float64)
        return a + b * ch + c * ch * ch

    def edges(self):
        """The n + 1 channel edges in keV (the calibration at channel -0.5 ... n - 0.5)."""
        return self.energy(np.arange(len(self.counts) + 1) - 0.5)


def _sections(text: str) -> dict[str, list[str]]:
    out: dict[str, list[str]] = {}
    key = None
    for line in text.splitlines():
        s = line.strip()
        if s.startswith("$") and s.endswith(":"):
            key = s[1:-1].upper()
            out[key] = []
        elif key is not None:
            out[key].append(s)
    return out


def _numbers(lines: list[str]) -> list[float]:
    values = []
    for line in lines:
        for word in line.split():
            try:
                values.append(float(word))
            except ValueError:
                pass
    return values


def _calibration(values: list[float], n: int) -> NDArray[np.float64] | None:
    coef = np.zeros(3)
    coef[:min(3, len(values))] = values[:3]
    if not np.any(coef):
        return None
    ch = np.arange(n + 1) - 0.5
    e = coef[0] + coef[1] * ch + coef[2] * ch * ch
    if n > 1 and not np.all(np.diff(e) > 0):
        return None
    return coef


def read_spe(path: str | Path) -> Spe:
    sections = _sections(Path(path).read_text(errors="replace"))
    if "DATA" not in sections:
        raise ValueError(f"{path}: no $DATA: section")
    data = sections["DATA"]
    first, last = (int(v) for v in data[0].split()[:2])
    counts = np.array([float(v) for v in data[1:1 + last - first + 1]], dtype=np.float64)
    if len(counts) != last - first + 1:
        raise ValueError(f"{path}: $DATA: holds {len(counts)} counts, its header says {last - first + 1}")
    times = _numbers(sections.get("MEAS_TIM", []))
    live = times[0] if len(times) > 0 else None
    real = times[1] if len(times) > 1 else None
    calibration = None
    if "MCA_CAL" in sections:
        values = _numbers(sections["MCA_CAL"])
        calibration = _calibration(values[1:1 + int(values[0])] if values else [], len(counts))
    if calibration is None and "ENER_FIT" in sections:
        calibration = _calibration(_numbers(sections["ENER_FIT"]), len(counts))
    shape = None
    if "SHAPE_CAL" in sections:
        values = _numbers(sections["SHAPE_CAL"])
        if values and any(values[1:]):
            shape = np.array(values[1:1 + int(values[0])])
    rois = np.zeros((0, 2), dtype=np.int64)
    if "ROI" in sections:
        values = _numbers(sections["ROI"])
        if values:
            k = int(values[0])
            rois = np.array(values[1:1 + 2 * k], dtype=np.int64).reshape(-1, 2)
    return Spe(counts, live, real, calibration, shape, rois, first)
