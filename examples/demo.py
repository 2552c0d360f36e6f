"""Round-trips a realistic document and compares its size with json and pickle."""

import datetime
import decimal
import json
import pickle
import uuid

import quarl


def sample_document():
    return {
        "service": "orders",
        "generated": datetime.datetime(2026, 12, 6, 9, 30, tzinfo=datetime.timezone.utc),
        "orders": [
            {
                "id": uuid.UUID(int=1000 + i),
                "customer": f"customer-{i % 17}",
                "total": decimal.Decimal(f"{19 + i}.99"),
                "items": [{"sku": f"SKU-{i}-{j}", "qty": j + 1, "price": 4.5 * (j + 1)} for j in range(3)],
                "paid": i % 3 != 0,
                "note": None,
            }
            for i in range(200)
        ],
    }


def main():
    codec = quarl.Quarl()
    doc = sample_document()
    packed = codec.encode_packed(doc, False)
    compressed = codec.encode_packed(doc, True)
    assert codec.decode_packed(packed) == doc
    assert codec.decode_packed(compressed) == doc

    as_json = json.dumps(doc, default=str).encode()
    as_pickle = pickle.dumps(doc, protocol=5)
    print(f"quarl {quarl.__version__}: round trip of {len(doc['orders'])} orders OK")
    print(f"  quarl            {len(packed):>8,} bytes")
    print(f"  quarl + LZ4      {len(compressed):>8,} bytes")
    print(f"  json             {len(as_json):>8,} bytes (UUIDs, decimals and dates as text)")
    print(f"  pickle (proto 5) {len(as_pickle):>8,} bytes")


if __name__ == "__main__":
    main()
