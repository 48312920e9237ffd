"""A spare driver JVM per launch key: the next start's JVM, launched and
warmed in the background, claimed by a start whose launch would be the same.

The start calls `claim` where it would launch its JVM, and `offer` after a
start whose JVM it launched (or claimed) succeeded. Spares are off under CI
and with MUR_SPARK_SPARE=0; MUR_SPARK_SPARE_IDLE (seconds, default 900) is
how long one waits.

- launch_key: what makes two launches the same; the key.
- registry: the user's folder of records and sockets, liveness, ending spares.
- handover: the claim as it goes over a spare's socket.
- claim_client: the start's side of it; starter: starting a spare; program: the spare.
"""

from ruk.compute.spare.claim_client import claim
from ruk.compute.spare.starter import offer

__all__ = ["claim", "offer"]
