"""Get a local Spark session through the strategy, run a query, release it."""

from ruk.compute.strategies.local import LocalStrategy, cleanup_all_spark_sessions


def main() -> None:
    strategy = LocalStrategy({"spark.sql.shuffle.partitions": "4"}, app_name="quickstart")
    strategy.validate_config()
    spark = strategy.get_spark_session()
    try:
        row = spark.sql("SELECT 'local' AS platform, 6 * 7 AS answer").collect()[0]
        print(f"platform={row.platform} answer={row.answer} spark={spark.version}")
    finally:
        strategy.close(spark)
        cleanup_all_spark_sessions()


if __name__ == "__main__":
    main()
