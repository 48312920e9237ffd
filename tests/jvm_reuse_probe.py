"""Run in a fresh process: what a second configuration can still change once
PySpark's JVM is running, and Spark ML's functions after the start, also with a
forked child importing pyspark.ml. Prints one JSON object on stdout.

usage: jvm_reuse_probe.py PROJECT_WITH_JARS SQLITE_DB
"""

import json
import os
import sys
import warnings

import pyspark
from pyspark.sql.functions import udf
from ruk.compute.strategies.local import LocalStrategy


def read_sqlite_table(spark, database: str):
    """Rows of table t of a SQLite database, read through Spark's JDBC source."""
    return (
        spark.read.format("jdbc")
        .option("url", f"jdbc:sqlite:{database}")
        .option("dbtable", "t")
        .option("driver", "org.sqlite.JDBC")
        .load()
        .collect()
    )


def in_forked_child(action):
    """What `action` returns in a forked child, sent back through a pipe as JSON."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read)
            os.write(write, json.dumps(action()).encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        answer = pipe.read()
    os.waitpid(pid, 0)
    return json.loads(answer) if answer else "the child failed"


def jvm_calls_of_ml_import(gateway):
    """The commands an import of pyspark.ml sends over `gateway`."""
    client = gateway._gateway_client
    sent, send = [], client.send_command

    def recording(command, *args, **kwargs):
        sent.append(command[:200])
        return send(command, *args, **kwargs)

    client.send_command = recording
    import pyspark.ml  # noqa: F401
    return sent


def main(project: str, database: str) -> None:
    report = {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")

        def jvm_warnings():
            texts = [str(w.message) for w in caught if "a new process is needed" in str(w.message)]
            caught.clear()
            return texts

        first = LocalStrategy({}, app_name="probe")
        spark = first.get_spark_session()
        report["first_max_memory"] = spark.sparkContext._jvm.java.lang.Runtime.getRuntime().maxMemory()
        first.close(spark)
        jvm_warnings()
        again = LocalStrategy({}, app_name="probe")
        again.close(again.get_spark_session())
        report["identical_warnings"] = jvm_warnings()

        # The project's JDBC driver only reaches the second session's configuration.
        os.chdir(project)
        second = LocalStrategy({"spark.driver.memory": "2g"}, app_name="probe")
        spark2 = second.get_spark_session()
        report["second_warnings"] = jvm_warnings()
        report["same_gateway"] = spark2.sparkContext._gateway is spark.sparkContext._gateway
        report["second_conf_memory"] = spark2.conf.get("spark.driver.memory")
        report["second_max_memory"] = spark2.sparkContext._jvm.java.lang.Runtime.getRuntime().maxMemory()
        report["second_jars"] = spark2.conf.get("spark.jars")
        try:
            rows = read_sqlite_table(spark2, database)
            report["late_jdbc"] = [list(row) for row in rows]
        except Exception as error:  # the outcome is what we report
            report["late_jdbc"] = "ClassNotFoundException" if "ClassNotFoundException" in str(error) else str(error)[:500]

        # A child forked before pyspark.ml is imported, importing it: not one
        # call over the parent's JVM connection, and the parent's next calls
        # get the parent's answers.
        jvm = spark2.sparkContext._jvm
        gateway = spark2.sparkContext._gateway
        report["fork_child_jvm_calls"] = in_forked_child(lambda: jvm_calls_of_ml_import(gateway))
        report["parent_after_fork"] = [jvm.java.lang.Math.max(3, 11), spark2.sql("SELECT 42 AS x").first().x,
                                       spark2.range(5).count()]

        # Spark ML's SQL functions: left out of the start, there once pyspark.ml is imported.
        internal = getattr(getattr(jvm.org.apache.spark.sql.catalyst.analysis, "FunctionRegistry$"), "MODULE$").internal()
        name = jvm.org.apache.spark.sql.catalyst.FunctionIdentifier("vector_to_array")
        report["extension_search"] = spark2.sparkContext.getConf().get("spark.sql.extensions.test.loadFromCp")
        report["ml_before_import"] = internal.functionExists(name)
        from pyspark.ml.functions import array_to_vector, vector_to_array
        from pyspark.ml.stat import Summarizer

        frame = spark2.createDataFrame([([1.0, 2.0],), ([3.0, 4.0],)], ["a"]).select(array_to_vector("a").alias("v"))
        report["ml_after_import"] = [list(row.a) for row in frame.select(vector_to_array("v").alias("a")).collect()]
        report["ml_summary"] = list(frame.select(Summarizer.mean(frame.v)).first()[0])
        # A UDF pickled by value with the pyspark module as a global, as after a plain start.
        part = udf(lambda _: pyspark.TaskContext.get().partitionId(), "int")
        report["udf_partitions"] = sorted(row[0] for row in spark2.range(0, 2, 1, 2).select(part("id")).collect())
        second.close(spark2)
        repeat = LocalStrategy({"spark.driver.memory": "2g"}, app_name="probe")
        repeat.close(repeat.get_spark_session())
        report["repeat_warnings"] = jvm_warnings()
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
