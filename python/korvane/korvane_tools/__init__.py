"""Tools around the korvane extension module, in pure Python.

- `korvane_tools.cli`: the `korvane` command (list, check, run, check-result,
  batch, new), also run as `python -m korvane_tools`;
- `korvane_tools.campaign`: one machine over many runs, on a process pool or
  a Dask cluster (behind `korvane batch`);
- `korvane_tools.testing`: a kit for bundle authors' own tests;
- `korvane_tools.bundles` and `korvane_tools.results`: the checks behind both,
  which take every verdict from korvane itself.
"""
