"""Scatter one large VCF across a Slurm cluster with kestrel and Dask.

    pip install 'kestrel[dask]' dask-jobqueue
    python examples/dask/slurm.py /shared/calls.vcf.gz /shared/chunks 64

The input and the output directory must be on a file system every node mounts at
the same path. Each Slurm job runs one Dask worker with one core: kestrel's pool in
a worker follows the threads the worker was given, so 32 such workers use 32 cores.
The chunks, their indexes and the manifest are byte for byte those of
`kestrel-split INPUT OUTDIR --chunks K -c fast --index tbi` on one machine.
"""
import sys

from dask_jobqueue import SLURMCluster
from distributed import Client

import kestrel_scatter


def main(input_path, output_dir, chunks):
    # Adjust queue, account and walltime to your site; memory: kestrel stays within
    # 128 MB per task, Dask itself wants a little more.
    cluster = SLURMCluster(cores=1, processes=1, memory="2GB", walltime="02:00:00", queue="normal")
    cluster.scale(jobs=32)
    with cluster, Client(cluster) as client:
        client.wait_for_workers(1)
        for chunk in kestrel_scatter.scatter(input_path, output_dir, chunks=chunks, compression="fast", index="tbi",
                                             client=client):
            print(chunk.path, chunk.records, chunk.first_chrom, chunk.first_pos)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
