#!/usr/bin/env python3
"""What the strategy's fast defaults change against plain PySpark, measured.

    python3 bench/session_defaults.py              # about 4 minutes on 2 cores
    python3 bench/session_defaults.py --repeats 1 --rows 200000 --pandas-rows 50000   # a quick look

Three fresh processes, one after the other, each in a scratch HOME and TMPDIR
(removed at the end), MUR_SPARK_CDS=0:

- ``strategy``: ``LocalStrategy({})``, its defaults (Arrow, adaptive execution off, 8 shuffle partitions);
- ``override``: ``LocalStrategy`` with the settings that restore plain behaviour, and
  ``spark.conf.unset("spark.sql.shuffle.partitions")``;
- ``plain``: ``SparkSession.builder.master("local[2]").getOrCreate()``.

Each process times, ``--repeats`` times: ``toPandas()`` of ``--rows`` rows
(a long, a double and a string column) and ``createDataFrame`` from a pandas
frame of ``--pandas-rows`` rows of the same shape, followed by ``count()``; and
reports the Python types ``toPandas()`` gives array and struct cells, the row
order of an unordered ``distinct()``, the join of two aggregates as it was
finally executed, and ``spark.conf.get("spark.sql.shuffle.partitions", "50")``.
Needs pandas and pyarrow. Nothing here is a test.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

OVERRIDES = {
    "spark.sql.execution.arrow.pyspark.enabled": "true",
    "spark.sql.adaptive.enabled": "true",
    "spark.sql.adaptive.coalescePartitions.enabled": "true",
}


def _final_join(df) -> str:
    df.collect()
    plan = df._jdf.queryExecution().executedPlan().toString()
    final = plan.split("== Initial Plan ==")[0]
    for name in ("BroadcastHashJoin", "SortMergeJoin", "ShuffledHashJoin"):
        if name in final:
            return name
    return "?"


def child(mode: str, rows: int, pandas_rows: int, repeats: int) -> None:
    import pandas as pd

    if mode == "plain":
        from pyspark.sql import SparkSession

        spark = SparkSession.builder.master("local[2]").getOrCreate()
    else:
        from ruk.compute.strategies.local import LocalStrategy

        spark = LocalStrategy(OVERRIDES if mode == "override" else {}, app_name="defaults").get_spark_session()
        if mode == "override":
            spark.conf.unset("spark.sql.shuffle.partitions")
    from pyspark.sql import functions as F

    out = {"mode": mode, "arrow": spark.conf.get("spark.sql.execution.arrow.pyspark.enabled"),
           "adaptive": spark.conf.get("spark.sql.adaptive.enabled")}
    wide = spark.range(rows).select("id", (F.col("id") * 0.5).alias("x"), F.col("id").cast("string").alias("s"))
    frame = pd.DataFrame({"id": range(pandas_rows), "x": [i * 0.5 for i in range(pandas_rows)],
                          "s": [str(i) for i in range(pandas_rows)]})
    out["to_pandas_s"], out["create_s"] = [], []
    for _ in range(repeats):
        started = time.perf_counter()
        got = wide.toPandas()
        out["to_pandas_s"].append(round(time.perf_counter() - started, 2))
        assert len(got) == rows
        del got
        started = time.perf_counter()
        assert spark.createDataFrame(frame).count() == pandas_rows
        out["create_s"].append(round(time.perf_counter() - started, 2))

    cells = spark.sql("SELECT array(1, 2) AS a, named_struct('x', 1) AS s").toPandas()
    out["array_cell"] = type(cells["a"][0]).__name__
    out["struct_cell"] = type(cells["s"][0]).__name__
    letters = spark.createDataFrame([(c,) for c in "abcdefghijabcdefghij"], "c string")
    out["distinct_order"] = "".join(r.c for r in letters.distinct().collect())
    counts = spark.range(1_000_000).groupBy((F.col("id") % 10).alias("k")).count()
    sums = spark.range(1_000_000).groupBy((F.col("id") % 10).alias("k")).agg(F.sum("id").alias("total"))
    out["join"] = _final_join(counts.join(sums, "k"))
    out["conf_get_default_50"] = spark.conf.get("spark.sql.shuffle.partitions", "50")
    out["shuffle_partitions"] = counts.rdd.getNumPartitions()
    print(json.dumps(out), flush=True)
    spark.stop()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--pandas-rows", type=int, default=500_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.rows, args.pandas_rows, args.repeats)
        return

    scratch = tempfile.mkdtemp(prefix="mur-defaults-")
    env = dict(os.environ, HOME=scratch, TMPDIR=scratch, MUR_SPARK_CDS="0", MUR_SPARK_SPARE="0")
    try:
        for mode in ("strategy", "override", "plain"):
            proc = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--child", mode, "--rows", str(args.rows),
                 "--pandas-rows", str(args.pandas_rows), "--repeats", str(args.repeats)],
                env=env, cwd=scratch, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=1800)
            lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
            print(lines[-1] if lines else f"{mode}: failed with status {proc.returncode}", flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
