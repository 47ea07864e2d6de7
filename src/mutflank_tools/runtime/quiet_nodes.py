"""Dask's scheduler and worker without their HTTP servers, for a local cluster (cluster.py).

Dask starts an HTTP server in every scheduler and worker, whatever the dashboard options say,
and it answers anyone who reaches its port: the scheduler's serves its logs, its workers'
logs and call stacks, and the names of the tasks. A local cluster talks to its client only
over TLS with credentials of its own, so these servers are the one way in for another local
user. These classes start none; what Dask's own code reads of them (`http_application` at
the close, a "dashboard" service) is then absent, which it allows. A worker process imports
this module by name (it is given as the class of the worker that a nanny starts)."""

import distributed


class Scheduler(distributed.Scheduler):
    def start_http_server(self, routes, dashboard_address, default_port=0, ssl_options=None):
        """Starts no HTTP server (see the module's text)."""


class Worker(distributed.Worker):
    def start_http_server(self, routes, dashboard_address, default_port=0, ssl_options=None):
        """Starts no HTTP server (see the module's text)."""


class LocalCluster(distributed.LocalCluster):
    """Dask's LocalCluster with the scheduler above. Its workers are the nannies it is given,
    which must start the Worker above (Nanny(worker_class=Worker))."""

    async def _start(self):
        self.scheduler_spec = {**self.scheduler_spec, "cls": Scheduler}
        await super()._start()
